#include "base/Localization.hpp"

#include <atomic>
#include <cstdlib>
#include <utility>
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

const char* languageCode(Language language) { return language == Language::French ? "fr" : "en"; }

std::string localizedIn(Language language, std::string_view key) {
    if (language == Language::French) {
        if (auto it = frenchTable().find(key); it != frenchTable().end()) return std::string(it->second);
    }
    if (auto it = englishTable().find(key); it != englishTable().end()) return std::string(it->second);
    return std::string(key);
}

namespace {
std::atomic<bool>& unicodePunctuation() {
    static std::atomic<bool> unicode{true};
    return unicode;
}
}  // namespace

bool unicodeOutput() { return unicodePunctuation().load(); }

void setUnicodeOutput(bool unicode) { unicodePunctuation().store(unicode); }

bool localeIsUtf8() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') continue;
        const std::string lower = toLower(value);
        return contains(lower, "utf-8") || contains(lower, "utf8");
    }
    return false;
}

std::string asciiPunctuation(std::string_view text) {
    static const std::pair<std::string_view, std::string_view> kReplacements[] = {
        {"…", "..."}, {"→", "->"}, {"←", "<-"}, {"·", "-"},  {"—", "-"},   {"–", "-"},  {"‘", "'"},
        {"’", "'"},   {"“", "\""}, {"”", "\""}, {"«\u00a0", "\""}, {"« ", "\""}, {"«", "\""}, {"»", "\""},
        {"✓", "+"},   {"✗", "x"},  {"•", "*"},  {"≥", ">="}, {"≤", "<="}, {"›", ">"},  {"‹", "<"},
        {"\u00a0", " "}, {"\u202f", " "},
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
            continue;
        }
        bool replaced = false;
        for (const auto& [from, to] : kReplacements) {
            if (text.compare(i, from.size(), from) == 0) {
                // « text » becomes "text": the spaces inside French quotes go with them.
                if (from == "»" && !out.empty() && out.back() == ' ') out.pop_back();
                out += to;
                i += from.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

std::string punctuated(std::string_view text) { return unicodeOutput() ? std::string(text) : asciiPunctuation(text); }

std::string localized(std::string_view key) { return punctuated(localizedIn(currentLanguage(), key)); }

std::string localized(std::string_view key, const std::vector<std::string>& arguments) {
    return fillPlaceholders(localized(key), arguments);
}

}  // namespace vt
