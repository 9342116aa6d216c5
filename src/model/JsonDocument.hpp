#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vt {
// A value read as a type it does not have is a fault of ours: it fails in every build with a
// typed error, instead of an assertion only debug builds keep.
[[noreturn]] inline void jsonAccessFailed(const char* condition) {
    throw std::logic_error(std::string("JSON value used as what it is not: ") + condition);
}
}  // namespace vt
#define RAPIDJSON_ASSERT(condition) ((condition) ? static_cast<void>(0) : ::vt::jsonAccessFailed(#condition))

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "base/Json.hpp"

namespace vt {

// The saved lists (packages, applications, the bundles' metadata) are read at nearly every
// start, thousands of records at a time: they go through RapidJSON, a parser several times
// faster than the tree of nlohmann nodes, and one made of headers only, so the program can
// carry its own C++ runtime instead of loading the shared one at every start.
using JsonDocument = rapidjson::Document;
using JsonElement = rapidjson::Value;

// Strict JSON with no recursion however deep the text nests, and every number read as the
// double nearest its text (the faster reading is off by one unit now and then). The UTF-8 is
// checked before the parse, over the whole text at once, eight bytes at a time where it is
// ASCII: the parser's own check decodes every character of every string, a large share of
// the time a large saved list takes to read.
inline constexpr unsigned kJsonDocumentFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;

[[noreturn]] void throwJsonSyntaxError(rapidjson::ParseErrorCode code, std::size_t offset);

// Refuses what the parser does not check: bytes that are not UTF-8, and a low surrogate escape
// with no high one before it (the parser turns it into bytes that are not UTF-8).
void refuseUnreadableText(std::string_view text);

// The whole of `text` as a tree of values, which lives as long as `document`. Throws
// JsonSyntaxError for text that is not one JSON value.
void parseJsonDocument(std::string_view text, JsonDocument& document);

// The whole of `text` as events, given to `handler` (RapidJSON's handler interface) as they
// are read. Throws JsonSyntaxError for text that is not one JSON value; what the handler
// throws goes through.
template <typename Handler>
void parseJsonEvents(std::string_view text, Handler& handler) {
    refuseUnreadableText(text);
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text.data(), text.size());
    const rapidjson::ParseResult result = reader.Parse<kJsonDocumentFlags>(stream, handler);
    if (result.IsError()) throwJsonSyntaxError(result.Code(), result.Offset());
    // The stream reads a NUL byte as the end: anything after one is not JSON.
    if (stream.Tell() != text.size()) throwJsonSyntaxError(rapidjson::kParseErrorDocumentRootNotSingular, stream.Tell());
}

}  // namespace vt
