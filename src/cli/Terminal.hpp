#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace vt::cli {

// Everything read from standard input, in binary.
std::string readAllStandardInput();
// Writes the whole text to a stream, retrying short writes.
void writeAll(std::FILE* stream, std::string_view text);
// Asks a yes/no question on the terminal (y, yes, o, oui). Without a terminal on standard
// input and standard error nobody can answer: no, without asking.
bool askYesOnTerminal(const std::string& question);
// For an update of one application the user asked for: whether a running application may be
// replaced under itself, asked on the terminal (never with JSON output, nor without a terminal).
// A batch never asks: it leaves running applications out.
std::function<bool(const std::string& appName)> replaceRunningConsent(bool json);

}  // namespace vt::cli
