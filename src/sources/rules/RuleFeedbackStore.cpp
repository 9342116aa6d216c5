#include "sources/rules/RuleFeedbackStore.hpp"

#include <filesystem>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Uuid.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("RuleFeedbackStore");
    return log;
}

std::optional<RuleFeedbackEventKind> kindFromRaw(std::string_view raw) {
    if (raw == "unrecognized_app") return RuleFeedbackEventKind::UnrecognizedApp;
    if (raw == "rule_resolution_failed") return RuleFeedbackEventKind::RuleResolutionFailed;
    if (raw == "likely_false_positive") return RuleFeedbackEventKind::LikelyFalsePositive;
    return std::nullopt;
}

std::optional<std::string> text(const Json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

Json toJson(const RuleFeedbackEvent& event) {
    Json json = Json::object();
    json["id"] = event.id;
    json["kind"] = std::string(rawValue(event.kind));
    json["timestamp"] = toReferenceSeconds(event.timestamp);
    json["bundleIdentifier"] = event.bundleIdentifier;
    json["appName"] = event.appName;
    json["currentVersion"] = event.currentVersion;
    if (event.latestVersion) json["latestVersion"] = *event.latestVersion;
    json["updateMechanism"] = event.updateMechanism;
    if (event.matchedRuleIdentifier) json["matchedRuleIdentifier"] = *event.matchedRuleIdentifier;
    if (event.detectionConfidence) json["detectionConfidence"] = std::string(rawValue(*event.detectionConfidence));
    if (event.resolutionReason) json["resolutionReason"] = *event.resolutionReason;
    return json;
}

std::optional<RuleFeedbackEvent> eventFromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    auto kind = kindFromRaw(text(json, "kind").value_or(""));
    auto identifier = text(json, "bundleIdentifier");
    if (!kind || !identifier || !json["timestamp"].is_number()) return std::nullopt;
    RuleFeedbackEvent event;
    event.id = text(json, "id").value_or(Uuid::random().toString());
    event.kind = *kind;
    event.timestamp = fromReferenceSeconds(json["timestamp"].get<double>());
    event.bundleIdentifier = *identifier;
    event.appName = text(json, "appName").value_or("");
    event.currentVersion = text(json, "currentVersion").value_or("");
    event.latestVersion = text(json, "latestVersion");
    event.updateMechanism = text(json, "updateMechanism").value_or("unknown");
    event.matchedRuleIdentifier = text(json, "matchedRuleIdentifier");
    if (auto confidence = text(json, "detectionConfidence")) event.detectionConfidence = detectionConfidenceFromRaw(*confidence);
    event.resolutionReason = text(json, "resolutionReason");
    return event;
}

bool sameEvent(const RuleFeedbackEvent& a, const RuleFeedbackEvent& b) {
    return a.kind == b.kind && a.bundleIdentifier == b.bundleIdentifier && a.currentVersion == b.currentVersion;
}

}  // namespace

std::string_view rawValue(RuleFeedbackEventKind kind) {
    switch (kind) {
        case RuleFeedbackEventKind::UnrecognizedApp: return "unrecognized_app";
        case RuleFeedbackEventKind::RuleResolutionFailed: return "rule_resolution_failed";
        case RuleFeedbackEventKind::LikelyFalsePositive: return "likely_false_positive";
    }
    return "unrecognized_app";
}

RuleFeedbackStore::RuleFeedbackStore(std::string path) : path_(std::move(path)) {}

std::string RuleFeedbackStore::defaultPath() { return paths::supportFolder() + "/rule-feedback.json"; }

void RuleFeedbackStore::loadIfNeeded() {
    if (loaded_) return;
    loaded_ = true;
    std::optional<std::string> body = readFile(path_);
    if (!body) return;
    std::optional<Json> json = parseJson(*body);
    if (!json || !json->is_array()) {
        logger().warning(localized("log.rules.feedback_not_list"));
        return;
    }
    for (const Json& item : *json) {
        if (auto event = eventFromJson(item)) events_.push_back(std::move(*event));
    }
}

void RuleFeedbackStore::save() {
    Json list = Json::array();
    for (const RuleFeedbackEvent& event : events_) list.push_back(toJson(event));
    paths::ensureFolder(std::filesystem::path(path_).parent_path().string());
    writeFileAtomically(path_, dumpJson(list, 2) + "\n");
}

bool RuleFeedbackStore::record(RuleFeedbackEvent event) {
    std::scoped_lock lock(mutex_);
    loadIfNeeded();
    for (const RuleFeedbackEvent& old : events_) {
        if (sameEvent(old, event)) return false;
    }
    if (event.id.empty()) event.id = Uuid::random().toString();
    events_.push_back(std::move(event));
    if (events_.size() > kMaximum) events_.erase(events_.begin(), events_.end() - kMaximum);
    save();
    return true;
}

std::vector<RuleFeedbackEvent> RuleFeedbackStore::events() {
    std::scoped_lock lock(mutex_);
    loadIfNeeded();
    return events_;
}

std::size_t RuleFeedbackStore::recordScan(const std::vector<Application>& applications, Clock::TimePoint now) {
    std::vector<RuleFeedbackEvent> found;
    for (const Application& application : applications) {
        if (application.bundleIdentifier.empty() || application.latestVersion) continue;
        // A rule that says "by hand" looks for nothing: no version found is its answer.
        if (application.resolutionSource == AppRulePrimarySource::Manual) continue;
        RuleFeedbackEvent event;
        if (application.matchedRuleIdentifier) {
            event.kind = RuleFeedbackEventKind::RuleResolutionFailed;
        } else if (application.updateMechanism == UpdateMechanism::Unknown && !application.resolutionSource) {
            event.kind = RuleFeedbackEventKind::UnrecognizedApp;
        } else {
            continue;
        }
        event.timestamp = now;
        event.bundleIdentifier = application.bundleIdentifier;
        event.appName = application.name;
        event.currentVersion = application.version;
        event.updateMechanism = rawValue(application.updateMechanism);
        event.matchedRuleIdentifier = application.matchedRuleIdentifier;
        event.detectionConfidence = application.detectionConfidence;
        event.resolutionReason = application.resolutionReason;
        found.push_back(std::move(event));
    }
    std::size_t added = 0;
    {
        std::scoped_lock lock(mutex_);
        loadIfNeeded();
        for (RuleFeedbackEvent& event : found) {
            bool known = false;
            for (const RuleFeedbackEvent& old : events_) known = known || sameEvent(old, event);
            if (known) continue;
            event.id = Uuid::random().toString();
            events_.push_back(std::move(event));
            ++added;
        }
        if (events_.size() > kMaximum) events_.erase(events_.begin(), events_.end() - kMaximum);
        if (added > 0) save();
    }
    return added;
}

}  // namespace vt
