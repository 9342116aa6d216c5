#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "base/Clock.hpp"

namespace vt::cli {

// How we may write to a stream: colours only on a terminal and never with NO_COLOR set.
struct Style {
    bool isTerminal = false;
    bool color = false;

    static Style forStream(std::FILE* stream);

    std::string bold(std::string_view text) const;
    std::string dim(std::string_view text) const;
    std::string green(std::string_view text) const;
    std::string yellow(std::string_view text) const;
    std::string red(std::string_view text) const;
};

// Puts standard output and error behind the filter of outside text (PrintableText): from
// then on no escape sequence but ours reaches the terminal, whatever prints it. Called once,
// first thing in main.
void installOutputFilter();

// JSON for standard output: indented for a person at a terminal, compact for a pipe.
int jsonIndentForStandardOutput();

// Display width of UTF-8 text (code points; our texts have no wide characters).
std::size_t displayWidth(std::string_view text);
std::string padRight(std::string_view text, std::size_t width);

// A date as every command prints it: local time, to the minute ("2026-12-07 14:05").
std::string localDate(Clock::TimePoint date);

}  // namespace vt::cli
