#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vt::cli {

// Everything read from standard input, in binary.
std::string readAllStandardInput();
// Writes the whole text to a stream, retrying short writes.
void writeAll(std::FILE* stream, std::string_view text);

}  // namespace vt::cli
