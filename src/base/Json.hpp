#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/Clock.hpp"

namespace vt {

// Our JSON keeps keys in the order they were written (declaration order of a record).
using Json = nlohmann::ordered_json;

// Dates are written as a number: seconds since 2001-01-01 00:00:00 UTC.
double toReferenceSeconds(Clock::TimePoint time);
Clock::TimePoint fromReferenceSeconds(double seconds);

// Parses text without throwing; nullopt for anything that is not JSON.
std::optional<Json> parseJson(std::string_view text);

// Compact text that is always valid UTF-8 (bad bytes become U+FFFD instead of throwing).
std::string dumpJson(const Json& value, int indent = -1);

// Typed field readers: nullopt when the key is absent or of another type.
std::optional<std::string> stringField(const Json& object, const char* key);
std::optional<bool> boolField(const Json& object, const char* key);
std::optional<long long> integerField(const Json& object, const char* key);
std::optional<double> numberField(const Json& object, const char* key);

}  // namespace vt
