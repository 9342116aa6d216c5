#include "sources/rules/KnownIssuesRegistry.hpp"

#include <cstdio>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "sources/KnownSources.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("KnownIssuesRegistry");
    return log;
}

std::optional<KnownAppFlag> flagFromRaw(std::string_view raw) {
    if (raw == "auto_updates") return KnownAppFlag::AutoUpdates;
    if (raw == "requires_user_choice") return KnownAppFlag::RequiresUserChoice;
    if (raw == "problematic") return KnownAppFlag::Problematic;
    return std::nullopt;
}

std::optional<std::string> text(const Json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

}  // namespace

KnownIssuesRegistry::KnownIssuesRegistry(std::optional<std::string> text) : fromText_(true), text_(std::move(text)) {}

KnownIssuesRegistry& KnownIssuesRegistry::shared() {
    static KnownIssuesRegistry registry;
    return registry;
}

void KnownIssuesRegistry::loadIfNeeded() {
    if (loaded_) return;
    loaded_ = true;
    std::optional<std::string> body = text_;
    if (!fromText_) {
        if (auto embedded = embeddedResource("KnownIssues.json")) body = std::string(*embedded);
    }
    if (!body) {
        logger().warning(localized("log.known_issues.missing"));
        return;
    }
    std::optional<Json> json = parseJson(*body);
    if (!json || !json->is_object() || !(*json)["apps"].is_array()) {
        logger().error(localized("log.known_issues.invalid"));
        return;
    }
    for (const Json& entry : (*json)["apps"]) {
        if (!entry.is_object()) continue;
        KnownAppIssue issue;
        issue.bundleID = text(entry, "bundle_id").value_or("");
        if (issue.bundleID.empty()) continue;
        issue.name = text(entry, "name");
        issue.reasonKey = text(entry, "reason_key");
        if (auto flags = entry.find("flags"); flags != entry.end() && flags->is_array()) {
            for (const Json& flag : *flags) {
                if (!flag.is_string()) continue;
                if (auto known = flagFromRaw(flag.get<std::string>())) issue.flags.insert(*known);
            }
        }
        issues_[issue.bundleID] = std::move(issue);
    }
    const long version = (*json)["version"].is_number_integer() ? (*json)["version"].get<long>() : 0;
    logger().info(localized("log.known_issues.loaded", {std::to_string(issues_.size()), std::to_string(version)}));
}

std::optional<KnownAppIssue> KnownIssuesRegistry::issue(const std::string& bundleIdentifier) {
    std::scoped_lock lock(mutex_);
    loadIfNeeded();
    auto found = issues_.find(bundleIdentifier);
    if (found == issues_.end()) return std::nullopt;
    return found->second;
}

std::size_t KnownIssuesRegistry::size() {
    std::scoped_lock lock(mutex_);
    loadIfNeeded();
    return issues_.size();
}

}  // namespace vt
