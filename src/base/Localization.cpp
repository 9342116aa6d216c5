#include "base/Localization.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

struct Text {
    std::string_view key;
    std::string_view text;
};

struct Span {
    std::uint32_t at;
    std::uint32_t size;
};

// A table as one block of characters and the places of its texts, sorted by key when the
// program is compiled: nothing to build or relocate at start-up, where every command would
// pay for it before doing anything. A text is found by halving.
template <std::size_t Count, std::size_t Bytes>
struct Table {
    std::array<Span, Count> keys{};
    std::array<Span, Count> texts{};
    std::array<char, Bytes> bytes{};

    std::string_view at(Span span) const { return {bytes.data() + span.at, span.size}; }

    const Span* find(std::string_view key) const {
        const auto it = std::ranges::lower_bound(keys, key, {}, [this](Span span) { return at(span); });
        return it != keys.end() && at(*it) == key ? &texts[static_cast<std::size_t>(it - keys.begin())] : nullptr;
    }
};

template <std::size_t Count>
constexpr std::size_t byteCount(const std::array<Text, Count>& texts) {
    std::size_t bytes = 0;
    for (const Text& text : texts) bytes += text.key.size() + text.text.size();
    return bytes;
}

template <std::size_t Bytes, std::size_t Count>
constexpr Table<Count, Bytes> packed(std::array<Text, Count> texts) {
    std::ranges::sort(texts, {}, &Text::key);
    if (std::ranges::adjacent_find(texts, {}, &Text::key) != texts.end()) throw "a key is given two texts";
    Table<Count, Bytes> table;
    std::size_t at = 0;
    const auto place = [&](std::string_view part) {
        const Span span{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(part.size())};
        for (char c : part) table.bytes[at++] = c;
        return span;
    };
    for (std::size_t i = 0; i < Count; ++i) {
        table.keys[i] = place(texts[i].key);
        table.texts[i] = place(texts[i].text);
    }
    return table;
}

constexpr auto kEnglishTexts = std::to_array<Text>({
#include "base/strings/en.inc"
});

constexpr auto kFrenchTexts = std::to_array<Text>({
#include "base/strings/fr.inc"
});

constexpr auto kEnglish = packed<byteCount(kEnglishTexts)>(kEnglishTexts);
constexpr auto kFrench = packed<byteCount(kFrenchTexts)>(kFrenchTexts);

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
        if (const Span* text = kFrench.find(key)) return std::string(kFrench.at(*text));
    }
    if (const Span* text = kEnglish.find(key)) return std::string(kEnglish.at(*text));
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

std::string localizedDecimal(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string result(text);
    if (currentLanguage() == Language::French) std::replace(result.begin(), result.end(), '.', ',');
    return result;
}

}  // namespace vt
