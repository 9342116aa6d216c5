#include "base/TextCells.hpp"

#include <algorithm>
#include <clocale>
#include <cwchar>

#include <locale.h>

#include "base/Strings.hpp"

namespace vt {

namespace {

// The widths come from a UTF-8 locale of the thread's own, so that a program running in
// the C locale still measures "漢字" as four cells.
int widthOfCodePoint(char32_t codePoint) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) return 1;
    const locale_t previous = ::uselocale(utf8);
    const int width = ::wcwidth(static_cast<wchar_t>(codePoint));
    ::uselocale(previous);
    return width < 0 ? 1 : width;
}

struct Glyph {
    std::size_t length = 1;  // bytes
    char32_t codePoint = 0xFFFD;
    bool valid = false;
};

Glyph glyphAt(std::string_view text, std::size_t i) {
    Glyph glyph;
    const std::size_t length = validSequenceLength(text, i);
    if (length == 0) return glyph;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    glyph.length = length;
    glyph.valid = true;
    switch (length) {
        case 1: glyph.codePoint = byte(0); break;
        case 2: glyph.codePoint = ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu); break;
        case 3: glyph.codePoint = ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu); break;
        default:
            glyph.codePoint = ((byte(0) & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) |
                              (byte(3) & 0x3Fu);
    }
    return glyph;
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

std::size_t widthOf(const Glyph& glyph) {
    if (!glyph.valid || isControl(glyph.codePoint)) return 1;
    if (glyph.codePoint < 0x7F) return 1;
    return static_cast<std::size_t>(widthOfCodePoint(glyph.codePoint));
}

}  // namespace

std::size_t cellWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Glyph glyph = glyphAt(text, i);
        width += widthOf(glyph);
        i += glyph.length;
    }
    return width;
}

std::size_t prefixFittingCells(std::string_view text, std::size_t width) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Glyph glyph = glyphAt(text, i);
        used += widthOf(glyph);
        if (used > width) return i;
        i += glyph.length;
    }
    return text.size();
}

std::size_t suffixFittingCells(std::string_view text, std::size_t width) {
    std::size_t excess = cellWidth(text);
    std::size_t i = 0;
    while (excess > width && i < text.size()) {
        const Glyph glyph = glyphAt(text, i);
        excess -= widthOf(glyph);
        i += glyph.length;
    }
    return i;
}

std::string fitCells(std::string_view text, std::size_t width) {
    std::string out;
    out.reserve(text.size() + width);
    const bool cut = cellWidth(text) > width;
    const std::size_t room = cut && width > 0 ? width - 1 : width;  // one cell for the ellipsis
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Glyph glyph = glyphAt(text, i);
        const std::size_t cells = widthOf(glyph);
        if (used + cells > room) break;
        if (!glyph.valid) {
            out += "\xEF\xBF\xBD";
        } else if (isControl(glyph.codePoint)) {
            out += ' ';
        } else {
            out.append(text.substr(i, glyph.length));
        }
        used += cells;
        i += glyph.length;
    }
    if (cut && width > 0) {
        out += "…";
        ++used;
    }
    out.append(width - used, ' ');
    return out;
}

std::vector<std::string> wrapCells(std::string_view text, std::size_t width) {
    std::vector<std::string> lines;
    std::string current;
    std::size_t used = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string_view word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        const std::size_t wordWidth = cellWidth(word);
        if (!current.empty() && used + 1 + wordWidth > width) {
            lines.push_back(std::move(current));
            current.clear();
            used = 0;
        }
        if (!current.empty()) {
            current += ' ';
            ++used;
        }
        current += word;
        used += wordWidth;
    }
    if (!current.empty() || lines.empty()) lines.push_back(std::move(current));
    return lines;
}

}  // namespace vt
