#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vt {

enum class Language { English, French };

// The language of the texts we show: French when LC_ALL (else LC_MESSAGES, else LANG)
// starts with "fr", English otherwise. Read once; tests may override it.
Language currentLanguage();
void setLanguage(Language language);
// "en" or "fr", as files that keep texts of one language name it.
const char* languageCode(Language language);

// Whether our punctuation (…, →, ·, ✓) may be printed as it is; else localized() and
// punctuated() give it in ASCII. True unless the front end says otherwise (the command line
// follows the locale: localeIsUtf8()).
bool unicodeOutput();
void setUnicodeOutput(bool unicode);
// Whether the locale's character set is UTF-8: LC_ALL, else LC_CTYPE, else LANG names one.
// None of them, C or POSIX: no.
bool localeIsUtf8();
// Text with our punctuation in ASCII ("…" → "...", "→" → "->"); other characters stay.
std::string asciiPunctuation(std::string_view text);
// `text` as the locale can show it: unchanged under UTF-8, else asciiPunctuation(text).
std::string punctuated(std::string_view text);

// The text for a dotted key in the current language. A key missing from the French table
// falls back to English; a key missing from both shows the key itself.
std::string localized(std::string_view key);
// The same, with each "{}" of the text replaced by the next argument.
std::string localized(std::string_view key, const std::vector<std::string>& arguments);
std::string localizedIn(Language language, std::string_view key);
// A number with `decimals` digits after the current language's decimal mark ("1.5", "1,5").
std::string localizedDecimal(double value, int decimals);

}  // namespace vt
