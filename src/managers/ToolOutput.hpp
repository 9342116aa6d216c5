#pragma once

#include <optional>
#include <string_view>

#include "base/Json.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

// The JSON document a tool printed, when a banner, a warning or a notice comes before it
// (or after it, on lines of its own): the whole text when it is one document, else the
// first line opening an object or an array that starts a document, running to the end or
// standing alone on its line, else what lies between the first "{" and the last "}".
std::optional<Json> jsonAfterBanner(std::string_view text);

// The first line of a text, blanks around it removed.
std::string firstLine(std::string_view text);

// What a failed tool said (its output, trimmed), else the runner's description of the failure.
std::string commandOutput(const CommandError& error);

}  // namespace vt
