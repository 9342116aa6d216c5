#include "model/JsonDocument.hpp"

#include <optional>
#include <string>

#include <rapidjson/error/en.h>

#include "base/Hex.hpp"
#include "base/Strings.hpp"

namespace vt {

void throwJsonSyntaxError(rapidjson::ParseErrorCode code, std::size_t offset) {
    throw JsonSyntaxError(std::string("JSON syntax error: ") + rapidjson::GetParseError_En(code) + " (at byte " +
                          std::to_string(offset) + ")");
}

namespace {

// The value of the four hexadecimal digits at `at`, if they are four such digits.
std::optional<unsigned> hexQuad(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const int digit = hexDigitValue(text[i]);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

bool isHighSurrogate(std::optional<unsigned> code) { return code && *code >= 0xD800 && *code <= 0xDBFF; }
bool isLowSurrogate(std::optional<unsigned> code) { return code && *code >= 0xDC00 && *code <= 0xDFFF; }

}  // namespace

void refuseUnreadableText(std::string_view text) {
    if (const std::size_t valid = validUtf8PrefixLength(text); valid != text.size()) {
        throwJsonSyntaxError(rapidjson::kParseErrorStringInvalidEncoding, valid);
    }
    // A backslash stands only in strings, where it begins an escape: each one is read whole.
    for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at)) {
        if (at + 1 >= text.size() || text[at + 1] != 'u') {
            at += 2;
            continue;
        }
        const std::optional<unsigned> code = hexQuad(text, at + 2);
        if (isLowSurrogate(code)) throwJsonSyntaxError(rapidjson::kParseErrorStringUnicodeSurrogateInvalid, at);
        at += 6;
        // A high surrogate and the low one after it are one character.
        if (isHighSurrogate(code) && text.substr(at, 2) == "\\u" && isLowSurrogate(hexQuad(text, at + 2))) at += 6;
    }
}

void parseJsonDocument(std::string_view text, JsonDocument& document) {
    refuseUnreadableText(text);
    rapidjson::MemoryStream stream(text.data(), text.size());
    document.ParseStream<kJsonDocumentFlags>(stream);
    if (document.HasParseError()) throwJsonSyntaxError(document.GetParseError(), document.GetErrorOffset());
    if (stream.Tell() != text.size()) throwJsonSyntaxError(rapidjson::kParseErrorDocumentRootNotSingular, stream.Tell());
}

}  // namespace vt
