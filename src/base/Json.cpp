#include "base/Json.hpp"

#include <algorithm>
#include <cmath>

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

std::optional<Json> parseJson(std::string_view text) {
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::string dumpJson(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
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
