#pragma once

#include <string>

#include "base/Clock.hpp"
#include "updates/BatchUpdateResult.hpp"

namespace vt {

// The Markdown report of a batch update, in the user's language, and the name proposed for its file.
// Stateless.
class BatchUpdateReportRenderer {
public:
    static constexpr std::string_view kFilePrefix = "vantreel-update-report";

    // `title` goes in the first line; `date` is the report's own date (local time).
    static std::string render(const BatchUpdateResult& batch, const std::string& title, Clock::TimePoint date);
    // "vantreel-update-report-2026-12-07_03-15-00.md".
    static std::string proposedFileName(Clock::TimePoint date);
};

}  // namespace vt
