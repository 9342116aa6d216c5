#include "managers/python/UvReceipt.hpp"

#include "base/Strings.hpp"
#include "base/Toml.hpp"


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
    std::optional<toml::table> parsed = parseToml(text);
    if (!parsed) return receipt;  // not TOML: a registry install with no name of its own
    const toml::table& document = *parsed;
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
