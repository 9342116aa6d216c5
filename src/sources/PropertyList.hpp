#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Json.hpp"

namespace vt {

// Property lists in XML or binary form, read through libplist into JSON values: the one
// file that knows that library (its interface differs between the 2.2 of Debian and the
// later releases of macOS). Dictionaries become objects, arrays arrays, strings, integers,
// reals and booleans themselves, dates reference-date seconds; data and identifiers are
// dropped. Nothing here throws on any input.
std::optional<Json> parsePropertyList(std::string_view bytes);

}  // namespace vt
