#include "model/JsonDocument.hpp"

#include <string>

#include "base/Json.hpp"

namespace vt {

simdjson::dom::element parseJsonDocument(std::string_view text) {
    thread_local simdjson::dom::parser parser;
    simdjson::dom::element document;
    if (auto error = parser.parse(text.data(), text.size()).get(document)) {
        throw JsonSyntaxError(std::string("JSON syntax error: ") + simdjson::error_message(error));
    }
    return document;
}

}  // namespace vt
