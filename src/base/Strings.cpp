#include "base/Strings.hpp"

#include "base/Hex.hpp"

#include <cstdint>
#include <cstring>

#include <algorithm>

namespace vt {

std::string trim(std::string_view text) { return std::string(trimView(text)); }

// ASCII letters only, whatever the C locale says: the keys made with it must read the same
// under `ui`, which sets the user's character type, as under every other command.
std::string toLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool startsWith(std::string_view text, std::string_view prefix) noexcept { return text.starts_with(prefix); }
bool endsWith(std::string_view text, std::string_view suffix) noexcept { return text.ends_with(suffix); }
bool contains(std::string_view text, std::string_view part) noexcept {
    return text.find(part) != std::string_view::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    // ASCII letters only, whatever the C locale says: these are keys, names and keywords.
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += separator;
        result += parts[i];
    }
    return result;
}

std::string_view lastPathComponent(std::string_view path) noexcept {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

std::size_t validSequenceLength(std::string_view text, std::size_t i) noexcept {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

// Read a word at a time while it is ASCII.
std::size_t validUtf8PrefixLength(std::string_view bytes, std::size_t i) {
    while (i < bytes.size()) {
        std::uint64_t word;
        if (i + sizeof word <= bytes.size()) {
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = validSequenceLength(bytes, i);
        if (length == 0) return i;
        i += length;
    }
    return i;
}

std::string sanitizeUtf8(std::string_view bytes) {
    // Almost every text is valid: it is copied whole, in one allocation.
    std::size_t i = validUtf8PrefixLength(bytes, 0);
    if (i == bytes.size()) return std::string(bytes);
    std::string result;
    result.reserve(bytes.size() + 8);
    std::size_t runStart = 0;
    while (i < bytes.size()) {  // bytes[i] starts an invalid sequence
        result.append(bytes.substr(runStart, i - runStart));
        result += "\xEF\xBF\xBD";
        runStart = ++i;
        i = validUtf8PrefixLength(bytes, i);
    }
    result.append(bytes.substr(runStart));
    return result;
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string excerpt(std::string_view text, std::size_t maxLength) {
    std::string trimmed = trim(text);
    if (trimmed.size() <= maxLength) return trimmed;
    return sanitizeUtf8(std::string_view(trimmed).substr(0, maxLength)) + "…";
}

std::string fillPlaceholders(std::string_view format, const std::vector<std::string>& arguments) {
    std::string result;
    result.reserve(format.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' && next < arguments.size()) {
            result += arguments[next++];
            ++i;
        } else {
            result += format[i];
        }
    }
    return result;
}

std::string percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 && hexDigitValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace vt
