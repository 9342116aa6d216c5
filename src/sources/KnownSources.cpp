#include "sources/KnownSources.hpp"

#include <utility>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"

namespace vt {

// Written by cmake/EmbedResources.cmake.
extern const std::pair<std::string_view, std::string_view> kEmbeddedResources[];
extern const unsigned long kEmbeddedResourceCount;

namespace {

const Logger& logger() {
    static const Logger log("KnownSources");
    return log;
}

std::map<std::string, std::string, std::less<>> readTable(std::string_view text, std::string_view what) {
    auto json = parseJson(text);
    if (!json || !json->is_object()) throw KnownSourcesError(std::string(what) + " is not a JSON object");
    std::map<std::string, std::string, std::less<>> table;
    for (const auto& [key, value] : json->items()) {
        if (!value.is_string() || key.empty() || value.get<std::string>().empty()) {
            throw KnownSourcesError(std::string(what) + ": the entry for \"" + key + "\" is not a non-empty string");
        }
        table.emplace(key, value.get<std::string>());
    }
    return table;
}

std::optional<std::string> lookup(const std::map<std::string, std::string, std::less<>>& table,
                                  const std::string& key) {
    auto found = table.find(key);
    if (found == table.end()) return std::nullopt;
    return found->second;
}

void markResolved(Application& application, AppRulePrimarySource source, std::string_view reason) {
    if (!application.resolutionSource) application.resolutionSource = source;
    if (!application.resolutionReason) application.resolutionReason = std::string(reason);
    if (!application.detectionConfidence) application.detectionConfidence = DetectionConfidence::BestEffort;
}

}  // namespace

std::optional<std::string_view> embeddedResource(std::string_view name) {
    for (unsigned long index = 0; index < kEmbeddedResourceCount; ++index) {
        if (kEmbeddedResources[index].first == name) return kEmbeddedResources[index].second;
    }
    return std::nullopt;
}

KnownSources KnownSources::fromJson(std::string_view appStoreIdentifiers, std::string_view appcasts) {
    KnownSources sources;
    sources.appStoreIDs_ = readTable(appStoreIdentifiers, "known App Store identifiers");
    sources.appcasts_ = readTable(appcasts, "known appcasts");
    return sources;
}

const KnownSources& KnownSources::builtIn() {
    static const KnownSources table = [] {
        try {
            return fromJson(embeddedResource("known_app_store_ids.json").value_or(""),
                            embeddedResource("known_appcasts.json").value_or(""));
        } catch (const KnownSourcesError& error) {
            logger().error(localized("log.sources.tables_unusable", {error.what()}));
            return KnownSources{};
        }
    }();
    return table;
}

std::optional<std::string> KnownSources::appStoreID(const std::string& bundleIdentifier) const {
    return lookup(appStoreIDs_, bundleIdentifier);
}

std::optional<std::string> KnownSources::appcastURL(const std::string& bundleIdentifier) const {
    return lookup(appcasts_, bundleIdentifier);
}

bool KnownSources::resolve(Application& application, const SourceSettings& sources) const {
    if (application.updateMechanism != UpdateMechanism::Unknown || application.latestVersion) return false;
    if (sources.isEnabled(AppRulePrimarySource::MacAppStore)) {
        if (auto identifier = appStoreID(application.bundleIdentifier)) {
            application.updateMechanism = UpdateMechanism::MacAppStore;
            application.appStoreID = std::move(identifier);
            markResolved(application, AppRulePrimarySource::MacAppStore, "Known Mac App Store ID");
            return true;
        }
    }
    if (sources.isEnabled(AppRulePrimarySource::Sparkle)) {
        if (auto appcast = appcastURL(application.bundleIdentifier)) {
            application.updateMechanism = UpdateMechanism::Sparkle;
            application.sparkleAppcastURL = std::move(appcast);
            markResolved(application, AppRulePrimarySource::Sparkle, "Known Sparkle appcast URL");
            return true;
        }
    }
    if (sources.isEnabled(AppRulePrimarySource::DirectDownload) && application.directDownloadConfig &&
        !application.directDownloadConfig->productCode.empty()) {
        application.updateMechanism = UpdateMechanism::DirectDownload;
        markResolved(application, AppRulePrimarySource::DirectDownload, "Known direct-download configuration");
        return true;
    }
    return false;
}

}  // namespace vt
