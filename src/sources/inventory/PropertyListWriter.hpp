#pragma once

#include <stdexcept>
#include <string>

#include "base/Json.hpp"

namespace vt {

class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The XML property list (version 1.0, UTF-8, Apple's document type) of a JSON value:
// objects become dictionaries, arrays arrays, texts strings, whole numbers integers,
// booleans booleans, other numbers reals. Throws PropertyListError on null, which a
// property list cannot hold, and on a negative integer, which launchd would misread.
std::string writeXmlPropertyList(const Json& value);

}  // namespace vt
