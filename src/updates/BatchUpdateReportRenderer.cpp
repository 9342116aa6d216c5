#include "updates/BatchUpdateReportRenderer.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "base/Strings.hpp"
#include "base/Localization.hpp"

// Layout choices: failures come first in the details (they are what the reader acts on),
// each result is a third-level heading, and the error and the suggestion are fenced blocks
// under a bold label, so that multi-line tool output keeps its lines.

namespace vt {

namespace {

std::string formatLocal(Clock::TimePoint date, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(date));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

std::string seconds(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1fs", value);
    return text;
}

void block(std::string& out, std::string_view label, const std::string& text) {
    out += "**";
    out += label;
    out += "**\n\n```\n";
    out += text;
    out += "\n```\n";
}

}  // namespace

std::string BatchUpdateReportRenderer::render(const BatchUpdateResult& batch, const std::string& title,
                                              Clock::TimePoint date) {
    std::vector<const PackageUpdateResult*> ordered;
    for (const auto& result : batch.results) ordered.push_back(&result);
    std::stable_sort(ordered.begin(), ordered.end(), [](const PackageUpdateResult* a, const PackageUpdateResult* b) {
        if (a->success != b->success) return !a->success;
        return toLower(a->package.name) < toLower(b->package.name);
    });

    std::string out = "# " + localized("report.title", {title});
    out += "\n" + localized("report.date", {formatLocal(date, "%Y-%m-%d %H:%M:%S")});
    out += "\n\n## " + localized("report.summary");
    out += "\n- " + localized("report.processed", {std::to_string(batch.results.size())});
    out += "\n- " + localized("report.succeeded", {std::to_string(batch.succeededCount())});
    out += "\n- " + localized("report.failed", {std::to_string(batch.failedCount())});
    // Items the user stopped, or left as they were, are neither.
    if (const std::size_t cancelled = batch.cancelledCount(); cancelled > 0) {
        out += "\n- " + localized("report.cancelled", {std::to_string(cancelled)});
    }
    if (const std::size_t skipped = batch.skippedCount(); skipped > 0) {
        out += "\n- " + localized("report.skipped", {std::to_string(skipped)});
    }
    out += "\n- " + localized("report.total_duration", {seconds(secondsBetween(batch.startTime, batch.endTime))});
    out += "\n\n## " + localized("report.details") + "\n";
    for (const PackageUpdateResult* result : ordered) {
        out += "### [";
        out += localized(result->success     ? "report.ok"
                         : result->cancelled ? "report.cancelled_mark"
                         : result->skipped   ? "report.skipped_mark"
                                             : "report.failure");
        out += "] ";
        out += result->package.name;
        out += "\n- " + localized("report.source", {result->sourceLabel()});
        out += "\n- " + localized("report.duration", {seconds(result->duration)});
        out += "\n";
        if (std::string error = trim(result->error.value_or("")); !error.empty()) {
            block(out, localized("report.error"), error);
        }
        if (std::string suggestion = trim(result->suggestion); !suggestion.empty()) {
            block(out, localized("report.suggestion"), suggestion);
        }
        if (result->command) out += "- " + localized("report.command", {"`" + *result->command + "`"}) + "\n";
        out += "\n";
    }
    return out;
}

std::string BatchUpdateReportRenderer::proposedFileName(Clock::TimePoint date) {
    std::string name(kFilePrefix);
    name += "-";
    name += formatLocal(date, "%Y-%m-%d_%H-%M-%S");
    name += ".md";
    return name;
}

}  // namespace vt
