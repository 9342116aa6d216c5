#include "base/Toml.hpp"

#include <string>

namespace vt {

namespace {

// Whether every byte outside the ASCII range stands inside a quoted string closed on its own
// line, with no control character anywhere.
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
            if (c == '\n') return false;
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

}  // namespace

std::optional<toml::table> parseToml(std::string_view text) {
    if (!nonAsciiOnlyInStrings(text)) return std::nullopt;
    try {
        // Where the text is not TOML, toml++ may read a string we took for closed as bare text
        // and meet its non-ASCII bytes there; a copy with those bytes made ASCII must parse
        // first, so the real parse only ever sees them inside strings.
        std::string shadow(text);
        for (char& c : shadow) {
            if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
        }
        (void)toml::parse(shadow);
        return toml::parse(text);
    } catch (const toml::parse_error&) {
        return std::nullopt;
    }
}

}  // namespace vt
