#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.hpp"

namespace vt {

// An ISO 8601 date and time ("2026-08-06T19:44:00.658701Z", "+00:00" offsets, no
// fraction); nothing when the text is not one.
std::optional<Clock::TimePoint> parseIsoDate(std::string_view text);

// "2026-08-06T19:44:00Z": the form our JSON documents give dates in.
std::string formatIsoDate(Clock::TimePoint date);

}  // namespace vt
