#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <stop_token>
#include <string_view>
#include <vector>

#include "system/CommandRunning.hpp"

namespace vt {

// What the operating system's package tools (apt, Flatpak, Snap) share when their lists
// are read: a bound on what one list may weigh, and the columns of one line.
namespace systemlisting {

// A list of pending updates is a few hundred kilobytes even on a machine years behind;
// beyond this the output is not a list, and reading it would only cost memory.
inline constexpr std::size_t kMaxListBytes = 16u * 1024u * 1024u;

// The message for a tool whose list went past kMaxListBytes; nothing when it did not.
std::optional<std::string> oversizedList(std::string_view tool, const ShellCommandResult& result);

// The standard output of one list command, or why there is none: the runner's failure, a
// list past kMaxListBytes, or the tool's own error lines when it exited with a failure.
struct ListOutput {
    std::string text;
    std::optional<std::string> failure;
};
// Runs `runTool` (which must not throw on a non-zero exit); a stop surfaces as CancellationError.
ListOutput readList(std::string_view tool, const std::function<ShellCommandResult()>& runTool,
                    const std::stop_token& stop);

// The pieces of a line between runs of blanks (Snap's aligned table).
std::vector<std::string> blankSeparated(std::string_view line);

// The latest version to record for an item the tool itself calls outdated: the version it
// reported when our version rules also call that newer, else the "update available" mark,
// so that a rebuild with the same version, a commit, or a Debian revision our rules order
// differently ("1.65.2+deb12u1") never hides an update the tool will install.
std::string pendingVersion(std::string_view installed, std::string_view reported);

// The "E: ..." and "error: ..." lines a tool printed, joined; else an excerpt of the text.
std::string toolError(std::string_view output);

}  // namespace systemlisting

}  // namespace vt
