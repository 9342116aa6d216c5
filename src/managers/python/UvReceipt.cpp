#include "managers/python/UvReceipt.hpp"

#include "base/Strings.hpp"

// Header-only (the library's default): a shared library of its own would be loaded at
// every start of the program, for the few commands that read a receipt.
#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

#include <array>
#include <cctype>
#include <utility>

namespace vt {

namespace {

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

// Whether every byte outside the ASCII range stands inside a quoted string closed on its own
// line (comments included: none there either), with no control character anywhere. toml++ 3.3 (the one Debian 12 ships) reaches
// __builtin_unreachable for many such characters where it looks for white space, which is
// undefined behaviour; uv writes them only inside strings (paths).
bool nonAsciiOnlyInStrings(std::string_view text) {
    char quote = 0;
    bool comment = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        // Control characters are invalid anywhere in TOML, and toml++ misreads what follows them.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
        if (comment) {
            if (static_cast<unsigned char>(c) >= 0x80) return false;
            comment = c != '\n';
            continue;
        }
        if (quote != 0) {
            if (c == '\n') return false;  // uv writes no string over two lines
            if (c == '\\' && quote == '"') {
                ++i;
                if (i < text.size() && static_cast<unsigned char>(text[i]) < 0x20) return false;
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#') {
            comment = true;
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return quote == 0;
}

// A requirement as uv writes it now: an inline table with the name and at most one source.
void readRequirementTable(const toml::table& requirement, UvReceipt& receipt) {
    if (auto name = requirement["name"].value<std::string>()) receipt.requirementName = *name;
    const std::array<std::pair<std::string_view, UvReceipt::SourceKind>, 5> sources = {{
        {"git", UvReceipt::SourceKind::Git},
        {"url", UvReceipt::SourceKind::DirectURL},
        {"path", UvReceipt::SourceKind::LocalPath},
        {"directory", UvReceipt::SourceKind::LocalPath},
        {"editable", UvReceipt::SourceKind::LocalPath},
    }};
    for (const auto& [key, kind] : sources) {
        if (auto value = requirement[key].value<std::string>()) {
            receipt.sourceKind = kind;
            receipt.sourceLocation = *value;
            return;
        }
    }
}

// The [tool] table's array `key`, or the same array at the top of an older file.
const toml::array* toolArray(const toml::table& document, std::string_view key) {
    if (const toml::array* array = document["tool"][key].as_array()) return array;
    return document[key].as_array();
}

}  // namespace

UvReceipt UvReceipt::parse(std::string_view text) {
    UvReceipt receipt;
    if (!nonAsciiOnlyInStrings(text)) return receipt;
    toml::table document;
    try {
        // Where the text is not TOML, toml++ may read a string we took for closed as bare text
        // and meet its non-ASCII bytes there; a copy with those bytes made ASCII must parse
        // first, so the real parse only ever sees them inside strings.
        std::string shadow(text);
        for (char& c : shadow) {
            if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
        }
        (void)toml::parse(shadow);
        document = toml::parse(text);
    } catch (const toml::parse_error&) {
        return receipt;  // not TOML: a registry install with no name of its own
    }
    // Only the first requirement is the tool's; index settings under [tool.options] may hold
    // `url` keys of their own.
    const toml::array* requirements = toolArray(document, "requirements");
    const toml::node* first = requirements != nullptr ? requirements->get(0) : nullptr;
    if (first != nullptr && first->is_table()) {
        readRequirementTable(*first->as_table(), receipt);
    } else if (first != nullptr && first->is_string()) {
        readRequirementString(first->as_string()->get(), receipt);
    }
    if (receipt.requirementName) return receipt;
    // No requirement names the tool: its first entry point does.
    const toml::array* entrypoints = toolArray(document, "entrypoints");
    const toml::node* entry = entrypoints != nullptr ? entrypoints->get(0) : nullptr;
    if (entry != nullptr && entry->is_table()) {
        if (auto name = (*entry->as_table())["name"].value<std::string>()) receipt.requirementName = *name;
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
