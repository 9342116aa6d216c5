#include "managers/ToolOutput.hpp"

#include "base/Strings.hpp"

namespace vt {

std::optional<Json> jsonAfterBanner(std::string_view text) {
    if (std::optional<Json> whole = parseJson(trimView(text))) return whole;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        std::string_view line =
            trimView(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (!line.empty() && (line.front() == '{' || line.front() == '[')) {
            if (std::optional<Json> rest = parseJson(trimView(text.substr(at)))) return rest;
            if (std::optional<Json> alone = parseJson(line)) return alone;
        }
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    const std::size_t open = text.find('{');
    const std::size_t close = text.rfind('}');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        return parseJson(text.substr(open, close - open + 1));
    }
    return std::nullopt;
}

std::string firstLine(std::string_view text) {
    std::string trimmed = trim(text);
    return trimmed.substr(0, trimmed.find('\n'));
}

std::string commandOutput(const CommandError& error) {
    std::string detail = trim(error.detail());
    return detail.empty() ? error.description() : detail;
}

}  // namespace vt
