#include "presentation/AutoDeferralStore.hpp"

#include <algorithm>
#include <array>

#include "base/Strings.hpp"

namespace vt {

namespace {

std::string signatureOf(const std::string& error) {
    std::vector<std::string_view> lines = splitLines(error);
    std::string_view first = lines.empty() ? std::string_view() : trimView(lines.front());
    return toLower(excerpt(first, 160));
}

bool mentionsAny(const std::string& text, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&text](std::string_view word) { return contains(text, word); });
}

}  // namespace

std::string AutoDeferralStore::kindFor(const std::string& signature) {
    if (mentionsAny(signature, {"permission denied", "operation not permitted", "password", "not found",
                                "no such file", "no space left", "read-only file system"})) {
        return "environment";
    }
    if (mentionsAny(signature, {"timed out", "timeout", "network", "connection", "could not resolve", "temporarily"})) {
        return "transientBackoff";
    }
    return "deterministicVersion";
}

std::optional<Clock::TimePoint> AutoDeferralStore::expiresAt(const AutoDeferredUpdate& deferral) {
    const Json& other = deferral.otherFields;
    if (!other.is_object() || !other.contains("expiresAt") || !other["expiresAt"].is_number()) return std::nullopt;
    return fromReferenceSeconds(other["expiresAt"].get<double>());
}

bool AutoDeferralStore::hides(const AutoDeferredUpdate& deferral, const std::optional<std::string>& latestVersion,
                              Clock::TimePoint now) {
    if (deferral.kind == "environment") return true;
    if (deferral.kind == "transientBackoff") {
        std::optional<Clock::TimePoint> end = expiresAt(deferral);
        return end && now < *end;
    }
    if (deferral.kind == "deterministicVersion") return latestVersion && trimView(*latestVersion) == deferral.version;
    return false;
}

std::optional<AutoDeferredUpdate> AutoDeferralStore::recordFailure(const Failure& failure, Clock::TimePoint now) {
    std::map<std::string, AutoUpdateFailureRecord> records = settings_.autoUpdateFailureRecords();
    const std::string signature = signatureOf(failure.error);
    AutoUpdateFailureRecord& record = records[failure.identifier];
    if (record.identifier != failure.identifier || record.version != failure.version || record.signature != signature) {
        record = AutoUpdateFailureRecord{failure.identifier, failure.version, failure.name, failure.source, signature};
        record.firstFailureAt = now;
    }
    ++record.failureCount;
    record.lastFailureAt = now;
    const AutoUpdateFailureRecord kept = record;
    settings_.setAutoUpdateFailureRecords(records);
    if (kept.failureCount < kRepeatsBeforeDeferral) return std::nullopt;

    std::map<std::string, AutoDeferredUpdate> deferred = settings_.autoDeferredUpdates();
    AutoDeferredUpdate deferral;
    deferral.identifier = failure.identifier;
    deferral.version = failure.version;
    deferral.name = failure.name;
    deferral.source = failure.source;
    deferral.reason = excerpt(trim(failure.error), 160);
    deferral.kind = kindFor(signature);
    deferral.failureCount = kept.failureCount;
    deferral.firstFailureAt = kept.firstFailureAt;
    deferral.otherFields = Json::object();
    deferral.otherFields["lastFailureAt"] = toReferenceSeconds(now);
    if (deferral.kind == "transientBackoff") {
        // 24 hours for the first deferral, twice as long for each repeat after it.
        const long long doublings = std::min<long long>(kept.failureCount - kRepeatsBeforeDeferral, 8);
        const auto backoff = std::min<std::chrono::hours>(kFirstBackoff * (1LL << doublings), kLongestBackoff);
        deferral.otherFields["expiresAt"] = toReferenceSeconds(now + backoff);
    }
    deferred[failure.identifier] = deferral;
    settings_.setAutoDeferredUpdates(deferred);
    return deferral;
}

bool AutoDeferralStore::end(const std::string& identifier) {
    if (!clear(identifier)) return false;
    forgetFailures(identifier);
    return true;
}

void AutoDeferralStore::forgetFailures(const std::string& identifier) {
    std::map<std::string, AutoUpdateFailureRecord> records = settings_.autoUpdateFailureRecords();
    if (records.erase(identifier) > 0) settings_.setAutoUpdateFailureRecords(records);
}

bool AutoDeferralStore::clear(const std::string& identifier) {
    std::map<std::string, AutoDeferredUpdate> deferred = settings_.autoDeferredUpdates();
    if (deferred.erase(identifier) == 0) return false;
    settings_.setAutoDeferredUpdates(deferred);
    return true;
}

}  // namespace vt
