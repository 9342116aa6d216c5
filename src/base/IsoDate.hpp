#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.hpp"

namespace vt {

// An ISO 8601 date and time ("2026-08-06T19:44:00.658701Z", "+00:00" offsets, no
// fraction); nothing when the text is not one.
std::optional<Clock::TimePoint> parseIsoDate(std::string_view text);

// Whether the day exists: February 30th and April 31st do not.
bool isCalendarDate(int year, int month, int day);

// "2026-08-06T19:44:00Z": the form our JSON documents give dates in.
std::string formatIsoDate(Clock::TimePoint date);

}  // namespace vt
