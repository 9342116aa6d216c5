#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.hpp"
#include "base/Json.hpp"

namespace vt::cli {

// --color: "auto" (the default) colours a terminal unless NO_COLOR is set or TERM is "dumb";
// "always" and "never" say so whatever the stream and the environment.
enum class ColorMode { Auto, Always, Never };
void setColorMode(ColorMode mode);
ColorMode currentColorMode();
std::optional<ColorMode> colorModeNamed(std::string_view name);

// How we may write to a stream: colours as --color says (by default only on a terminal and
// never with NO_COLOR set).
struct Style {
    bool isTerminal = false;  // one that takes cursor movement: live progress, redrawn in place
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

// "…", or "..." when the locale is not UTF-8 (see unicodeOutput()).
std::string ellipsis();

// Pads to `width` terminal cells (cellWidth: a CJK character takes two).
std::string padRight(std::string_view text, std::size_t width);

// A date as every command prints it: local time, to the minute ("2026-12-07 14:05").
std::string localDate(Clock::TimePoint date);

// The version of the shape of every JSON document a command prints; the schemas under
// schemas/ describe it. Raised when a field changes meaning or goes away, not when one is added.
inline constexpr int kJsonSchemaVersion = 1;
// An object that starts a command's JSON document: {"schemaVersion": 1}.
Json jsonDocument();
// A date in a command's JSON: RFC 3339 in UTC, to the second ("2026-12-07T13:05:00Z").
std::string jsonDate(Clock::TimePoint date);

}  // namespace vt::cli
