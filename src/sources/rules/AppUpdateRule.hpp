#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "model/Application.hpp"

namespace vt {

enum class AppRuleConfidence { High, BestEffort, Manual };

std::string_view rawValue(AppRuleConfidence confidence);  // "high", "best_effort", "manual"
std::optional<AppRuleConfidence> appRuleConfidenceFromRaw(std::string_view raw);

struct GitHubRuleConfig {
    std::string owner;
    std::string repo;
    friend bool operator==(const GitHubRuleConfig&, const GitHubRuleConfig&) = default;
};

struct GenericUpdaterRuleConfig {
    GenericUpdateMechanism mechanism = GenericUpdateMechanism::Custom;
    std::optional<std::string> updateURL;
    std::optional<std::string> releaseNotesURL;
    friend bool operator==(const GenericUpdaterRuleConfig&, const GenericUpdaterRuleConfig&) = default;
};

// Where one application's updates come from, when its bundle does not say. The saved form's
// keys are the field names.
struct AppUpdateRule {
    std::string bundleIdentifier;
    std::string displayName;
    std::vector<std::string> aliases;
    std::vector<std::string> normalizedNames;
    AppRulePrimarySource primarySource = AppRulePrimarySource::Manual;
    std::vector<AppRulePrimarySource> fallbackSources;
    bool manualOnly = false;
    std::optional<std::string> notes;
    AppRuleConfidence confidence = AppRuleConfidence::BestEffort;
    std::optional<std::string> appStoreID;
    std::optional<std::string> sparkleFeedURL;
    std::optional<std::string> homebrewCaskName;
    std::optional<std::string> manualDownloadURL;
    std::optional<std::string> appleDBPageDataPath;
    std::optional<GitHubRuleConfig> github;
    std::optional<GenericUpdaterRuleConfig> genericUpdater;
    std::optional<DirectDownloadRuleConfig> directDownload;

    friend bool operator==(const AppUpdateRule&, const AppUpdateRule&) = default;
};

class AppRuleDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keys in declaration order; optional fields only when set.
Json toJson(const AppUpdateRule& rule);
// Throws AppRuleDecodingError naming the field: a missing identifier or source, a wrong type,
// an unknown raw value. `normalizedNames` left out is computed from the name and aliases.
AppUpdateRule appUpdateRuleFromJson(const Json& json);

// The form names are matched in: lower case, a trailing ".app" dropped, every run of
// characters other than ASCII letters and digits made one space, trimmed. "Visual Studio
// Code.app", "visual-studio-code" and "Visual  Studio_Code" all become "visual studio code",
// so a bundle's folder name, a cask token and a display name meet; letters outside ASCII are
// kept as they are (lower-cased bytes only for ASCII), so "Übersicht" stays distinct.
std::string normalizeAppName(std::string_view name);

// The normalised forms of a rule's display name and aliases, each once, in order.
std::vector<std::string> normalizedNamesOf(const AppUpdateRule& rule);

// A short description of the rule's source: "owner/repo", the feed address, the cask token...
std::string ruleSourceDetail(const AppUpdateRule& rule);
// The same for one of its sources (a fallback).
std::string ruleSourceDetail(const AppUpdateRule& rule, AppRulePrimarySource source);

}  // namespace vt
