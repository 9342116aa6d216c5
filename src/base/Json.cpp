#include "base/Json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vt {

namespace {
// 2001-01-01 00:00:00 UTC as seconds since the Unix epoch.
constexpr double kReferenceEpochOffset = 978307200.0;
}  // namespace

double toReferenceSeconds(Clock::TimePoint time) {
    double unixSeconds = std::chrono::duration<double>(time.time_since_epoch()).count();
    return unixSeconds - kReferenceEpochOffset;
}

Clock::TimePoint fromReferenceSeconds(double seconds) {
    if (!std::isfinite(seconds)) seconds = 0;
    // Keep far-off dates inside what the clock's duration can hold.
    seconds = std::clamp(seconds, -1.0e11, 1.0e11);
    auto sinceEpoch = std::chrono::duration<double>(seconds + kReferenceEpochOffset);
    return Clock::TimePoint(std::chrono::duration_cast<Clock::Duration>(sinceEpoch));
}

bool jsonNestsDeeperThan(std::string_view text, std::size_t limit) noexcept {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

std::optional<Json> parseJson(std::string_view text) {
    if (jsonNestsDeeperThan(text)) return std::nullopt;
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::optional<Json> parseJson(std::string_view text, const std::function<bool(int depth, const std::string& key)>& keep) {
    if (jsonNestsDeeperThan(text)) return std::nullopt;
    const Json::parser_callback_t filter = [&keep](int depth, Json::parse_event_t event, Json& parsed) {
        return event != Json::parse_event_t::key || keep(depth, parsed.get_ref<const std::string&>());
    };
    Json value = Json::parse(text, filter, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::string dumpJson(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;

// The top bit of each byte of the word that JSON must escape: below 0x20 or from 0x80 up, a
// quote, a backslash. A byte below 0x20 borrows when 0x20 is taken from it.
std::uint64_t needsEscape(std::uint64_t word) {
    auto hasZeroByte = [](std::uint64_t w) { return (w - kOnes) & ~w & kHighs; };
    return ((word - 0x20 * kOnes) | word | hasZeroByte(word ^ ('"' * kOnes)) | hasZeroByte(word ^ ('\\' * kOnes))) & kHighs;
}

// Copies plain ASCII text to `to` eight bytes at a time, as most of what is written is plain;
// false, with `to` half written, at the first byte that needs escaping.
bool copyPlain(std::string_view text, char* to) {
    const std::size_t size = text.size();
    if (size < 8) {
        std::uint64_t word = 0x20 * kOnes;  // spaces around a short text need no escaping
        if (size > 0) std::memcpy(&word, text.data(), size);
        if (needsEscape(word) != 0) return false;
        if (size > 0) std::memcpy(to, text.data(), size);
        return true;
    }
    std::uint64_t word;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if (needsEscape(word) != 0) return false;
        std::memcpy(to + i, &word, 8);
    }
    if (i == size) return true;
    std::memcpy(&word, text.data() + size - 8, 8);  // the last eight, some read twice
    if (needsEscape(word) != 0) return false;
    std::memcpy(to + size - 8, &word, 8);
    return true;
}

// The text as a JSON string, then `after`. Plain ASCII is copied in one piece with its quotes:
// a large list writes a hundred thousand of them. Anything else is escaped (and bad UTF-8
// repaired) the way dumpJson does it, so both always give the same bytes.
void appendQuoted(std::string& out, std::string_view text, std::string_view after) {
    // Growing the text below would free what a view into it shows.
    const auto address = reinterpret_cast<std::uintptr_t>(text.data());
    const auto start = reinterpret_cast<std::uintptr_t>(out.data());
    if (address >= start && address < start + out.capacity()) {
        appendQuoted(out, std::string(text), after);
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + text.size() + 2 + after.size());
    char* to = out.data() + at;
    if (copyPlain(text, to + 1)) {
        to[0] = '"';
        to[text.size() + 1] = '"';
        if (!after.empty()) std::memcpy(to + text.size() + 2, after.data(), after.size());
        return;
    }
    out.resize(at);
    out += dumpJson(Json(std::string(text)));
    out += after;
}

}  // namespace

void JsonWriter::newLine(std::size_t depth) {
    out_ += '\n';
    out_.append(depth * static_cast<std::size_t>(indent_), ' ');
}

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) return;
    Level& level = levels_.back();
    if (!level.empty) out_ += ',';
    level.empty = false;
    if (indent_ >= 0) newLine(levels_.size());
}

JsonWriter& JsonWriter::beginObject() {
    beforeValue();
    out_ += '{';
    levels_.push_back({true, true});
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    beforeValue();
    out_ += '[';
    levels_.push_back({false, true});
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty && indent_ >= 0) newLine(levels_.size());
    out_ += bracket;
    return *this;
}

JsonWriter& JsonWriter::endObject() { return close('}'); }
JsonWriter& JsonWriter::endArray() { return close(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
    beforeValue();
    appendQuoted(out_, name, indent_ >= 0 ? ": " : ":");
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    beforeValue();
    appendString(text);
    return *this;
}

void JsonWriter::appendString(std::string_view text) { appendQuoted(out_, text, {}); }

JsonWriter& JsonWriter::boolean(bool value) {
    beforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::integer(long long value) {
    beforeValue();
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
}

JsonWriter& JsonWriter::unsignedInteger(unsigned long long value) {
    beforeValue();
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    beforeValue();
    // The shortest text that reads back as the same double, as dumpJson writes it.
    out_ += Json(value).dump();
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::value(const Json& json) {
    switch (json.type()) {
        case Json::value_t::object:
            beginObject();
            for (auto it = json.begin(); it != json.end(); ++it) {
                key(it.key());
                value(*it);
            }
            return endObject();
        case Json::value_t::array:
            beginArray();
            for (const Json& item : json) value(item);
            return endArray();
        case Json::value_t::string: return string(json.get_ref<const std::string&>());
        case Json::value_t::boolean: return boolean(json.get<bool>());
        case Json::value_t::number_integer: return integer(json.get<long long>());
        case Json::value_t::number_unsigned: return unsignedInteger(json.get<unsigned long long>());
        case Json::value_t::number_float: return number(json.get<double>());
        default:
            beforeValue();
            out_ += dumpJson(json);
            return *this;
    }
}

std::optional<std::string> stringField(const Json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<bool> boolField(const Json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<long long> integerField(const Json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<long long>();
}

std::optional<double> numberField(const Json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

}  // namespace vt
