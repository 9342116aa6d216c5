#include "managers/python/UvReceipt.hpp"

#include <array>
#include <cctype>
#include <utility>

#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// The text without its comments, so that a commented-out `git = "..."` never counts.
// Quotes are followed so that a "#" inside a value (a URL fragment) stays.
std::string withoutComments(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            out.push_back(c);
            if (c == '\\' && quote == '"' && i + 1 < text.size()) {
                out.push_back(text[++i]);
            } else if (c == quote || c == '\n') {
                quote = 0;
            }
            continue;
        }
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            if (i < text.size()) out.push_back('\n');
            continue;
        }
        if (c == '"' || c == '\'') quote = c;
        out.push_back(c);
    }
    return out;
}

// The quoted value of a key placed where TOML puts keys: at the start of a line, or after
// "{", "," or white space.
const Regex& keyPattern(std::string_view key) {
    static const std::array<std::pair<std::string_view, Regex>, 6> patterns = [] {
        auto make = [](std::string_view name) {
            return std::pair<std::string_view, Regex>(
                name,
                Regex(R"((?:^|[\s{,]))" + std::string(name) + R"re(\s*=\s*(?:"((?:[^"\\\n]|\\.)*)"|'([^'\n]*)'))re",
                      Regex::Options{.multiline = true}));
        };
        return std::array<std::pair<std::string_view, Regex>, 6>{make("name"), make("git"),       make("url"),
                                                                 make("path"), make("directory"), make("editable")};
    }();
    for (const auto& [name, pattern] : patterns) {
        if (name == key) return pattern;
    }
    return patterns.front().second;
}

std::optional<std::string> quotedValue(std::string_view text, std::string_view key) {
    std::optional<Regex::Match> match = keyPattern(key).search(text);
    if (!match) return std::nullopt;
    if (match->groups.size() > 1 && match->groups[1]) return std::string(*match->groups[1]);
    if (match->groups.empty() || !match->groups[0]) return std::nullopt;
    std::string value;
    std::string_view raw = *match->groups[0];
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value.push_back(raw[i]);
    }
    return value;
}

// From an opening "{" to its matching "}", quotes followed; the rest of the text when the
// table is never closed.
std::string_view inlineTable(std::string_view text, std::size_t open) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\' && quote == '"') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return text.substr(open, i - open + 1);
        }
    }
    return text.substr(open);
}

struct FirstRequirement {
    std::string_view table;             // an inline table entry
    std::optional<std::string> string;  // an entry in the older PEP 508 string form
};

std::optional<FirstRequirement> firstRequirement(std::string_view text) {
    static const Regex start(R"((?:^|[\s{,])requirements\s*=\s*\[)", Regex::Options{.multiline = true});
    std::optional<Regex::Match> match = start.search(text);
    if (!match) return std::nullopt;
    std::size_t at = match->offset + match->length;
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at >= text.size()) return std::nullopt;
    if (text[at] == '{') return FirstRequirement{inlineTable(text, at), std::nullopt};
    if (text[at] == '"' || text[at] == '\'') {
        std::size_t end = text.find(text[at], at + 1);
        if (end == std::string_view::npos) return std::nullopt;
        return FirstRequirement{{}, std::string(text.substr(at + 1, end - at - 1))};
    }
    return std::nullopt;
}

// "black", "black>=24", "black @ git+https://..." (receipts written before uv kept tables).
void readRequirementString(const std::string& requirement, UvReceipt& receipt) {
    std::size_t nameEnd = 0;
    while (nameEnd < requirement.size() &&
           (std::isalnum(static_cast<unsigned char>(requirement[nameEnd])) != 0 || requirement[nameEnd] == '.' ||
            requirement[nameEnd] == '_' || requirement[nameEnd] == '-')) {
        ++nameEnd;
    }
    if (nameEnd > 0) receipt.requirementName = requirement.substr(0, nameEnd);
    std::size_t at = requirement.find('@', nameEnd);
    if (at == std::string::npos) return;
    std::string location = trim(std::string_view(requirement).substr(at + 1));
    if (location.empty()) return;
    receipt.sourceLocation = location;
    if (startsWith(location, "git+")) {
        receipt.sourceKind = UvReceipt::SourceKind::Git;
    } else if (startsWith(location, "file:") || startsWith(location, "/") || startsWith(location, ".")) {
        receipt.sourceKind = UvReceipt::SourceKind::LocalPath;
    } else {
        receipt.sourceKind = UvReceipt::SourceKind::DirectURL;
    }
}

}  // namespace

UvReceipt UvReceipt::parse(std::string_view text) {
    const std::string clean = withoutComments(text);
    UvReceipt receipt;
    std::optional<FirstRequirement> first = firstRequirement(clean);
    if (first && first->string) {
        readRequirementString(*first->string, receipt);
        if (!receipt.requirementName) receipt.requirementName = quotedValue(clean, "name");
        return receipt;
    }
    // The source belongs to the first requirement; the rest of the file (index settings
    // under [tool.options], for one) may hold `url` keys of its own.
    std::string_view scope = first ? first->table : std::string_view(clean);
    receipt.requirementName = quotedValue(scope, "name");
    if (!receipt.requirementName) receipt.requirementName = quotedValue(clean, "name");
    const std::array<std::pair<std::string_view, SourceKind>, 5> sources = {{
        {"git", SourceKind::Git},
        {"url", SourceKind::DirectURL},
        {"path", SourceKind::LocalPath},
        {"directory", SourceKind::LocalPath},
        {"editable", SourceKind::LocalPath},
    }};
    for (const auto& [key, kind] : sources) {
        if (std::optional<std::string> value = quotedValue(scope, key)) {
            receipt.sourceKind = kind;
            receipt.sourceLocation = std::move(*value);
            break;
        }
    }
    return receipt;
}

std::string UvReceipt::sourceIdentifier() const {
    switch (sourceKind) {
        case SourceKind::Registry: return "pypi";
        case SourceKind::Git: return startsWith(sourceLocation, "git+") ? sourceLocation : "git+" + sourceLocation;
        case SourceKind::LocalPath:
        case SourceKind::DirectURL: return sourceLocation;
    }
    return sourceLocation;
}

}  // namespace vt
