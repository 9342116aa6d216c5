#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Clock.hpp"

namespace vt {

// Our JSON keeps keys in the order they were written (declaration order of a record).
using Json = nlohmann::ordered_json;

// Dates are written as a number: seconds since 2001-01-01 00:00:00 UTC.
double toReferenceSeconds(Clock::TimePoint time);
Clock::TimePoint fromReferenceSeconds(double seconds);

// Text that is not JSON at all, as opposed to JSON of the wrong shape.
class JsonSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How deep arrays and objects may nest in JSON we read. Real documents stay far below (a
// dependency tree of npm nests a few dozen levels); a document nested deeper is malformed:
// copying or printing one a hundred thousand levels deep would exhaust the stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Whether arrays and objects nest deeper than `limit` (strings skipped), without parsing.
bool jsonNestsDeeperThan(std::string_view text, std::size_t limit = kMaxJsonDepth) noexcept;

// Parses text without throwing; nullopt for anything that is not JSON, nested deeper than
// kMaxJsonDepth included.
std::optional<Json> parseJson(std::string_view text);

// Parses like parseJson, building only the members `keep` accepts: a large document is read
// without allocating the parts a reader never looks at. `keep` sees every member's key in
// the document's order with its depth, 1 for the members of the outermost object.
std::optional<Json> parseJson(std::string_view text, const std::function<bool(int depth, const std::string& key)>& keep);

// Compact text that is always valid UTF-8 (bad bytes become U+FFFD instead of throwing).
std::string dumpJson(const Json& value, int indent = -1);

// Writes JSON text straight from records, without building a document first: the same text
// dumpJson gives for the document the calls describe (compact with indent -1, else one
// member per line), so a printed list costs what its bytes cost. Calls must nest properly:
// key() only inside an object and before each of its values.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out, int indent = -1) : out_(out), indent_(indent) {}

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::string_view text);
    JsonWriter& boolean(bool value);
    JsonWriter& integer(long long value);
    JsonWriter& unsignedInteger(unsigned long long value);
    JsonWriter& number(double value);
    JsonWriter& null();
    JsonWriter& value(const Json& json);

private:
    struct Level {
        bool isObject = false;
        bool empty = true;
    };
    void beforeValue();
    void appendString(std::string_view text);
    void newLine(std::size_t depth);
    JsonWriter& close(char bracket);

    std::string& out_;
    int indent_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

// Writes an optional field only when it is present: absent fields are omitted, not null.
template <typename T>
void putIfPresent(Json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

// Typed field readers: nullopt when the key is absent or of another type.
std::optional<std::string> stringField(const Json& object, const char* key);
std::optional<bool> boolField(const Json& object, const char* key);
std::optional<long long> integerField(const Json& object, const char* key);
std::optional<double> numberField(const Json& object, const char* key);

}  // namespace vt
