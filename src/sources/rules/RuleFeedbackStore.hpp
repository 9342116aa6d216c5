#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"

namespace vt {

enum class RuleFeedbackEventKind { UnrecognizedApp, RuleResolutionFailed, LikelyFalsePositive };

std::string_view rawValue(RuleFeedbackEventKind kind);  // "unrecognized_app", ...

struct RuleFeedbackEvent {
    std::string id;
    RuleFeedbackEventKind kind = RuleFeedbackEventKind::UnrecognizedApp;
    Clock::TimePoint timestamp{};
    std::string bundleIdentifier;
    std::string appName;
    std::string currentVersion;
    std::optional<std::string> latestVersion;
    std::string updateMechanism;
    std::optional<std::string> matchedRuleIdentifier;
    std::optional<DetectionConfidence> detectionConfidence;
    std::optional<std::string> resolutionReason;
};

// What the checks could not place: "rule-feedback.json" in the support folder, a list of
// events, read on first use and written atomically after each change. The same kind of
// event for the same application and version is kept once, and only the newest kMaximum.
class RuleFeedbackStore {
public:
    static constexpr std::size_t kMaximum = 500;

    explicit RuleFeedbackStore(std::string path);
    static std::string defaultPath();

    // Whether it was new. Throws FileWriteError when the file cannot be written.
    bool record(RuleFeedbackEvent event);
    std::vector<RuleFeedbackEvent> events();

    // After a scan's checks: applications no source recognised, and those a rule named whose
    // source gave no version. Returns how many new events were recorded.
    std::size_t recordScan(const std::vector<Application>& applications, Clock::TimePoint now);

private:
    void loadIfNeeded();
    void save();

    std::string path_;
    std::mutex mutex_;
    bool loaded_ = false;
    std::vector<RuleFeedbackEvent> events_;
};

}  // namespace vt
