#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vt {

// White space as the tools we read print it: blanks, tabs and line ends.
// Inline: parsers call both for every character they trim.
constexpr bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
constexpr std::string_view trimView(std::string_view text) noexcept {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}
std::string trim(std::string_view text);
std::string toLower(std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix) noexcept;
bool endsWith(std::string_view text, std::string_view suffix) noexcept;
bool contains(std::string_view text, std::string_view part) noexcept;
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;

// Splits at every occurrence of the separator; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char separator);
// Lines without their terminators ("\n" or "\r\n"); a final empty line is dropped.
std::vector<std::string_view> splitLines(std::string_view text);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
// "%41" → "A"; a "%" not followed by two hex digits stays as it is.
std::string percentDecoded(std::string_view text);

// The last path component ("brew" for "/usr/local/bin/brew").
std::string_view lastPathComponent(std::string_view path) noexcept;

// Length of the valid UTF-8 sequence starting at text[i] (1 for ASCII), or 0 when it is invalid
// or cut short by the end of the text.
std::size_t validSequenceLength(std::string_view text, std::size_t i) noexcept;

// The length of the valid UTF-8 at the start of `bytes` from `from` on: bytes.size() when all of
// it is valid.
std::size_t validUtf8PrefixLength(std::string_view bytes, std::size_t from = 0);

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);

// The trimmed text cut to at most maxLength bytes (UTF-8 kept valid), with "…" when cut:
// for quoting a tool's output in a message.
std::string excerpt(std::string_view text, std::size_t maxLength = 160);

// Fills "{}" placeholders in order; extra placeholders stay, extra arguments are ignored.
std::string fillPlaceholders(std::string_view format, const std::vector<std::string>& arguments);

}  // namespace vt
