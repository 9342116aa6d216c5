#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Json.hpp"
#include "system/CommandRunning.hpp"

namespace vt::testing {

// Runs the built `vantreel` binary as a user would, with HOME pointing at a sandbox.
// Only the runner's base environment plus `environment` reaches it.
struct VantreelRun {
    std::vector<std::string> arguments;
    std::string home;
    std::map<std::string, std::string> environment;
    std::optional<std::string> standardInput;
    double timeout = 60;
    // A program that starts the binary, with its own arguments first (setpriv, unshare).
    std::vector<std::string> wrapper;
    // Another copy of the binary (one without the modules that sit beside the built one).
    std::optional<std::string> program;
};

ShellCommandResult runVantreel(const VantreelRun& run);

// Runs `vantreel` on a pseudo-terminal, as a person at a terminal would: standard input,
// output and error are the terminal, whose output (both streams, as shown) is the result's
// standard output. When the program asks a question (a line ending in "] ") the terminal
// answers `answer`. Only `run.environment` and HOME reach it.
ShellCommandResult runVantreelOnTerminal(const VantreelRun& run, const std::string& answer);

// Writes the sandbox's preferences so that only these sources are shown (the tools of this
// machine stay out of the results), the first-launch choices already made.
void showOnly(const std::string& home, const std::vector<std::string>& toggleKeys);

// What a `--json` command printed; a test failure naming the output, and an empty object,
// when it is not JSON.
Json jsonOf(const ShellCommandResult& result);
// A report's items by stable key.
std::map<std::string, Json> itemsByKey(const Json& report);

// What keeps `document` from matching the schema of that name under schemas/ ("scan.schema.json"),
// one violation a line; empty when it matches. Validated by Debian's python3-jsonschema.
std::string schemaViolations(const std::string& schema, const std::string& document);

// The sandbox user's folders, as the program lays them out under HOME.
std::string settingsFile(const std::string& home);  // the preferences
std::string dataFolder(const std::string& home);    // scan results, rules, reports
std::string logFile(const std::string& home);
// The log's folder relative to HOME, for the skip list of filesUnder: the program's own diary.
inline constexpr const char* kLogFolderUnderHome = ".local/state/vantreel/";

// Starts `vantreel` in the background with HOME set, its output to outputFd (or nowhere),
// so that a test can signal it; the caller waits for it.
pid_t startVantreel(const std::string& home, const std::vector<std::string>& arguments, int outputFd = -1);

// This process's environment with `set` in it and without the caller's XDG folders (the
// sandbox HOME decides them), as "NAME=value" texts: made before a fork, for execve.
std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& set);
// Pointers into `entries`, null-terminated, for execve.
std::vector<char*> environmentPointers(std::vector<std::string>& entries);

// Whether the process still runs: not gone, and no zombie left for whoever adopted it (this
// machine's first process may not reap the orphans it adopts).
bool isRunning(pid_t pid);
// The process ids a fake tool appended to a file, one a line.
std::vector<pid_t> pidsIn(const std::string& file);
// Waits up to thirty seconds for a file to appear.
bool waitForFile(const std::string& path);

}  // namespace vt::testing
