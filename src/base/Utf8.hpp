#pragma once

#include <string>

namespace vt {

// Appends one code point as UTF-8 (nothing for one beyond U+10FFFF).
void appendUtf8(std::string& text, char32_t c);

}  // namespace vt
