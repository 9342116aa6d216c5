#include "cli/Output.hpp"

#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <utility>
#include <ctime>

#include <unistd.h>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "base/TextCells.hpp"

namespace vt::cli {

namespace {
std::atomic<ColorMode> colorMode{ColorMode::Auto};
}  // namespace

void setColorMode(ColorMode mode) { colorMode.store(mode); }
ColorMode currentColorMode() { return colorMode.load(); }

std::optional<ColorMode> colorModeNamed(std::string_view name) {
    if (name == "auto") return ColorMode::Auto;
    if (name == "always") return ColorMode::Always;
    if (name == "never") return ColorMode::Never;
    return std::nullopt;
}

Style Style::forStream(std::FILE* stream) {
    Style style;
    // The filtered streams have no descriptor of their own.
    const int fd = stream == stdout ? STDOUT_FILENO : stream == stderr ? STDERR_FILENO : fileno(stream);
    const char* noColor = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    // A dumb terminal (an editor's shell buffer, a plain CI log) gets what a pipe gets: lines.
    const bool dumb = term != nullptr && std::string_view(term) == "dumb";
    style.isTerminal = isatty(fd) == 1 && !dumb;
    style.color = style.isTerminal && (noColor == nullptr || *noColor == '\0');
    if (colorMode.load() != ColorMode::Auto) style.color = colorMode.load() == ColorMode::Always;
    return style;
}

namespace {
std::string wrap(bool color, const char* code, std::string_view text) {
    if (!color) return std::string(text);
    return ownControl(std::string("\x1b[") + code + "m") + std::string(text) + ownControl("\x1b[0m");
}
}  // namespace

std::string Style::bold(std::string_view text) const { return wrap(color, "1", text); }
std::string Style::dim(std::string_view text) const { return wrap(color, "2", text); }
std::string Style::green(std::string_view text) const { return wrap(color, "32", text); }
std::string Style::yellow(std::string_view text) const { return wrap(color, "33", text); }
std::string Style::red(std::string_view text) const { return wrap(color, "31", text); }

std::string ellipsis() { return unicodeOutput() ? "…" : "..."; }

int jsonIndentForStandardOutput() { return isatty(STDOUT_FILENO) == 1 ? 2 : -1; }

std::string padRight(std::string_view text, std::size_t width) {
    std::string result(text);
    for (std::size_t w = cellWidth(text); w < width; ++w) result += ' ';
    return result;
}

std::string localDate(Clock::TimePoint date) {
    std::time_t time = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
    return text;
}

Json jsonDocument() {
    Json document = Json::object();
    document["schemaVersion"] = kJsonSchemaVersion;
    return document;
}

std::string jsonDate(Clock::TimePoint date) {
    const std::time_t time = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(date));
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace vt::cli
