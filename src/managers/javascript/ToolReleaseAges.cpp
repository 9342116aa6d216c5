#include "managers/javascript/ToolReleaseAges.hpp"

#include <charconv>

#include "base/Files.hpp"
#include "base/Strings.hpp"

namespace vt::toolages {

namespace {

std::string_view unquoted(std::string_view value) {
    value = trimView(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return trimView(value);
}

}  // namespace

std::optional<std::string> npmrcValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    for (std::string_view line : split(text, '\n')) {
        line = trimView(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || trimView(line.substr(0, equals)) != key) continue;
        found = std::string(unquoted(line.substr(equals + 1)));
    }
    return found;
}

std::optional<std::string> yamlTopLevelValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    for (std::string_view line : split(text, '\n')) {
        if (!startsWith(line, key) || line.size() <= key.size() || line[key.size()] != ':') continue;
        std::string_view value = line.substr(key.size() + 1);
        if (const std::size_t comment = value.find(" #"); comment != std::string_view::npos) value = value.substr(0, comment);
        found = std::string(unquoted(value));
    }
    return found;
}

std::optional<ToolReleaseAge> limitFrom(std::string_view count, std::chrono::seconds unit, std::string setting) {
    count = trimView(count);
    long long value = 0;
    auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), value);
    if (error != std::errc() || end != count.data() + count.size() || value <= 0) return std::nullopt;
    // Beyond a century in any unit is no limit anyone set on purpose, and would overflow.
    if (value > 36500LL * 86400 / unit.count()) return std::nullopt;
    return ToolReleaseAge{unit * value, std::move(setting)};
}

std::optional<ToolReleaseAge> npmLimit(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        std::optional<std::string> text = readFile(file);
        std::optional<std::string> value = text ? npmrcValue(*text, "min-release-age") : std::nullopt;
        if (value) return limitFrom(*value, std::chrono::hours(24), "npm min-release-age");
    }
    return std::nullopt;
}

std::optional<ToolReleaseAge> pnpmLimit(const std::string& home, const std::string& configFolder) {
    constexpr std::chrono::minutes kMinute{1};
    if (std::optional<std::string> yaml = readFile(configFolder + "/config.yaml")) {
        if (auto value = yamlTopLevelValue(*yaml, "minimumReleaseAge")) return limitFrom(*value, kMinute, "pnpm minimumReleaseAge");
    }
    for (const std::string& file : {configFolder + "/rc", home + "/.npmrc"}) {
        std::optional<std::string> text = readFile(file);
        std::optional<std::string> value = text ? npmrcValue(*text, "minimum-release-age") : std::nullopt;
        if (value) return limitFrom(*value, kMinute, "pnpm minimum-release-age");
    }
    return std::nullopt;
}

}  // namespace vt::toolages
