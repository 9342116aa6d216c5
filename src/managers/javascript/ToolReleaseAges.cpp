#include "managers/javascript/ToolReleaseAges.hpp"

#include <cctype>
#include <charconv>
#include <utility>

#include "base/Files.hpp"
#include "base/IsoDate.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "base/Toml.hpp"

namespace vt::toolages {

namespace {

const Logger& logger() {
    static const Logger instance("ToolReleaseAges");
    return instance;
}

// A line without its comment: from the first "#" outside a quoted string.
std::string_view withoutComment(std::string_view line) {
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (c == '\\' && quote == '"') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#') {
            return line.substr(0, i);
        }
    }
    return line;
}

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

std::optional<std::string> tomlValue(std::string_view text, std::string_view table, std::string_view key) {
    // Comments go first: a note in the user's own language is no reason to ignore the file.
    std::string uncommented;
    for (std::string_view line : split(text, '\n')) {
        uncommented += withoutComment(line);
        uncommented += '\n';
    }
    std::optional<toml::table> document = parseToml(uncommented);
    if (!document) return std::nullopt;
    // A dotted table ("install.registry") is a path; a key is only ever one name.
    const toml::node_view<const toml::node> place =
        table.empty() ? toml::node_view<const toml::node>(std::as_const(*document)) : std::as_const(*document).at_path(table);
    const toml::node_view<const toml::node> node = place[key];
    if (const auto* text = node.as_string()) return text->get();
    if (const auto* integer = node.as_integer()) return std::to_string(integer->get());
    // Another kind of value is set but unreadable as a limit: the caller says so.
    return node ? std::optional<std::string>("") : std::nullopt;
}

namespace {

std::vector<std::string> bunfigFiles(const std::string& home, const std::optional<std::string>& xdgConfigHome) {
    std::vector<std::string> files;
    if (xdgConfigHome && !xdgConfigHome->empty()) files.push_back(*xdgConfigHome + "/.bunfig.toml");
    files.push_back(home + "/.bunfig.toml");
    return files;
}

}  // namespace

std::optional<std::string> registryAddress(std::string text) {
    text = trim(text);
    if (!(startsWith(text, "https://") || startsWith(text, "http://")) ||
        text.find_first_of(" \t\n") != std::string::npos) {
        return std::nullopt;
    }
    while (endsWith(text, "/")) text.pop_back();
    return text;
}

std::optional<std::string> bunRegistry(const std::string& home, const std::optional<std::string>& xdgConfigHome) {
    for (const std::string& file : bunfigFiles(home, xdgConfigHome)) {
        std::optional<std::string> text = readFile(file);
        if (!text) continue;
        std::optional<std::string> value = tomlValue(*text, "install", "registry");
        if (value && value->empty()) value = tomlValue(*text, "install.registry", "url");
        if (value) return registryAddress(*value);
    }
    return std::nullopt;
}

std::optional<ToolReleaseAge> bunLimit(const std::string& home, const std::optional<std::string>& xdgConfigHome) {
    for (const std::string& file : bunfigFiles(home, xdgConfigHome)) {
        std::optional<std::string> text = readFile(file);
        std::optional<std::string> value = text ? tomlValue(*text, "install", "minimumReleaseAge") : std::nullopt;
        if (!value) continue;
        std::optional<ToolReleaseAge> limit = limitFrom(*value, std::chrono::seconds(1), "bun install.minimumReleaseAge");
        if (!limit && trim(*value) != "0") logger().warning(localized("log.release_age.bun_unreadable", {file, *value}));
        return limit;
    }
    return std::nullopt;
}

std::optional<std::chrono::seconds> uvSpan(std::string_view text) {
    text = trimView(text);
    if (text.empty()) return std::nullopt;
    auto unitOf = [](std::string_view unit) -> std::optional<long long> {
        static constexpr std::pair<std::string_view, long long> kUnits[] = {
            {"s", 1},      {"sec", 1},        {"secs", 1},     {"second", 1},       {"seconds", 1},
            {"m", 60},     {"min", 60},       {"mins", 60},    {"minute", 60},      {"minutes", 60},
            {"h", 3600},   {"hr", 3600},      {"hrs", 3600},   {"hour", 3600},      {"hours", 3600},
            {"d", 86400},  {"day", 86400},    {"days", 86400},
            {"w", 604800}, {"wk", 604800},    {"wks", 604800}, {"week", 604800},    {"weeks", 604800}};
        const std::string lower = toLower(std::string(unit));
        for (const auto& [name, seconds] : kUnits) {
            if (lower == name) return seconds;
        }
        return std::nullopt;
    };
    long long total = 0;
    auto add = [&total](long long count, long long unit) {
        // Beyond a century is no limit anyone meant, and would overflow.
        if (count > 36500LL * 86400 / unit) return false;
        total += count * unit;
        return total <= 36500LL * 86400;
    };
    // ISO 8601: "P" then weeks and days, "T" then hours, minutes and seconds.
    if (text.front() == 'P' || text.front() == 'p') {
        bool time = false, any = false;
        std::size_t i = 1;
        while (i < text.size()) {
            if (text[i] == 'T' || text[i] == 't') {
                if (time) return std::nullopt;
                time = true;
                ++i;
                continue;
            }
            long long count = 0;
            auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), count);
            if (error != std::errc() || end == text.data() + text.size() || count < 0) return std::nullopt;
            i = static_cast<std::size_t>(end - text.data());
            const char designator = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i++])));
            long long unit = 0;
            if (!time && designator == 'W') unit = 7 * 86400;
            else if (!time && designator == 'D') unit = 86400;
            else if (time && designator == 'H') unit = 3600;
            else if (time && designator == 'M') unit = 60;
            else if (time && designator == 'S') unit = 1;
            else return std::nullopt;  // years and months have no fixed length
            if (!add(count, unit)) return std::nullopt;
            any = true;
        }
        if (!any) return std::nullopt;
        return std::chrono::seconds(total);
    }
    // Friendly: counts each followed by a unit, with or without a space ("1 week 2 days", "24h").
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
        if (i == text.size()) break;
        long long count = 0;
        auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), count);
        if (error != std::errc() || count < 0) return std::nullopt;
        i = static_cast<std::size_t>(end - text.data());
        while (i < text.size() && text[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
        const std::optional<long long> unit = unitOf(text.substr(start, i - start));
        if (!unit || !add(count, *unit)) return std::nullopt;
        any = true;
    }
    if (!any) return std::nullopt;
    return std::chrono::seconds(total);
}

std::optional<ToolReleaseAge> uvLimit(const std::string& configFolder, std::chrono::system_clock::time_point now) {
    const std::string file = configFolder + "/uv.toml";
    std::optional<std::string> text = readFile(file);
    std::optional<std::string> value = text ? tomlValue(*text, "", "exclude-newer") : std::nullopt;
    if (!value) return std::nullopt;
    const std::string setting = "uv exclude-newer";
    if (std::optional<std::chrono::seconds> span = uvSpan(*value)) {
        if (span->count() <= 0) return std::nullopt;
        return ToolReleaseAge{*span, setting};
    }
    std::optional<Clock::TimePoint> cutoff = parseIsoDate(*value);
    if (!cutoff && value->size() == 10) cutoff = parseIsoDate(*value + "T00:00:00Z");
    if (!cutoff) {
        logger().warning(localized("log.release_age.uv_unreadable", {file, *value}));
        return std::nullopt;
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - *cutoff);
    // A cutoff in the future holds nothing back yet.
    if (age.count() <= 0) return std::nullopt;
    return ToolReleaseAge{age, setting};
}

}  // namespace vt::toolages
