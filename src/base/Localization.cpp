#include "base/Localization.hpp"

#include <atomic>
#include <unordered_map>

#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

using Table = std::unordered_map<std::string_view, std::string_view>;

const Table& englishTable() {
    static const Table table = {
#include "base/strings/en.inc"
    };
    return table;
}

const Table& frenchTable() {
    static const Table table = {
#include "base/strings/fr.inc"
    };
    return table;
}

Language languageFromEnvironment() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto value = paths::environmentValue(variable)) {
            return startsWith(toLower(*value), "fr") ? Language::French : Language::English;
        }
    }
    return Language::English;
}

std::atomic<int>& overriddenLanguage() {
    static std::atomic<int> value{-1};
    return value;
}

}  // namespace

Language currentLanguage() {
    int overridden = overriddenLanguage().load();
    if (overridden >= 0) return static_cast<Language>(overridden);
    static const Language fromEnvironment = languageFromEnvironment();
    return fromEnvironment;
}

void setLanguage(Language language) { overriddenLanguage().store(static_cast<int>(language)); }

std::string localizedIn(Language language, std::string_view key) {
    if (language == Language::French) {
        if (auto it = frenchTable().find(key); it != frenchTable().end()) return std::string(it->second);
    }
    if (auto it = englishTable().find(key); it != englishTable().end()) return std::string(it->second);
    return std::string(key);
}

std::string localized(std::string_view key) { return localizedIn(currentLanguage(), key); }

std::string localized(std::string_view key, const std::vector<std::string>& arguments) {
    return fillPlaceholders(localized(key), arguments);
}

}  // namespace vt
