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

// The text for a dotted key in the current language. A key missing from the French table
// falls back to English; a key missing from both shows the key itself.
std::string localized(std::string_view key);
// The same, with each "{}" of the text replaced by the next argument.
std::string localized(std::string_view key, const std::vector<std::string>& arguments);
std::string localizedIn(Language language, std::string_view key);

}  // namespace vt
