#include "sources/rules/AppUpdateRule.hpp"

#include <algorithm>

#include "base/Strings.hpp"

namespace vt {

namespace {

[[noreturn]] void fail(const std::string& field, std::string_view problem) {
    std::string message = "\"";
    message += field;
    message += "\" ";
    message += problem;
    throw AppRuleDecodingError(message);
}

std::optional<std::string> optionalString(const Json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) fail(key, "is not a string");
    return found->get<std::string>();
}

std::string requiredString(const Json& json, const char* key) {
    auto value = optionalString(json, key);
    if (!value || value->empty()) fail(key, "is missing or empty");
    return *value;
}

bool flag(const Json& json, const char* key, bool fallback) {
    auto found = json.find(key);
    if (found == json.end() || found->is_null()) return fallback;
    if (!found->is_boolean()) fail(key, "is not a boolean");
    return found->get<bool>();
}

std::vector<std::string> strings(const Json& json, const char* key) {
    std::vector<std::string> list;
    auto found = json.find(key);
    if (found == json.end() || found->is_null()) return list;
    if (!found->is_array()) fail(key, "is not a list");
    for (const Json& item : *found) {
        if (!item.is_string()) fail(key, "holds a value that is not a string");
        list.push_back(item.get<std::string>());
    }
    return list;
}

AppRulePrimarySource source(const std::string& raw, const char* key) {
    auto value = appRulePrimarySourceFromRaw(raw);
    if (!value) fail(key, "has an unknown source \"" + raw + "\"");
    return *value;
}

void put(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

}  // namespace

std::string_view rawValue(AppRuleConfidence confidence) {
    switch (confidence) {
        case AppRuleConfidence::High: return "high";
        case AppRuleConfidence::BestEffort: return "best_effort";
        case AppRuleConfidence::Manual: return "manual";
    }
    return "best_effort";
}

std::optional<AppRuleConfidence> appRuleConfidenceFromRaw(std::string_view raw) {
    if (raw == "high") return AppRuleConfidence::High;
    if (raw == "best_effort") return AppRuleConfidence::BestEffort;
    if (raw == "manual") return AppRuleConfidence::Manual;
    return std::nullopt;
}

std::string normalizeAppName(std::string_view name) {
    std::string text = trim(name);
    if (text.size() > 4 && toLower(text.substr(text.size() - 4)) == ".app") text.resize(text.size() - 4);
    std::string out;
    bool pendingSpace = false;
    for (unsigned char c : text) {
        const bool asciiWord = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (asciiWord || c >= 0x80) {
            if (pendingSpace && !out.empty()) out += ' ';
            pendingSpace = false;
            out += static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
        } else {
            pendingSpace = true;
        }
    }
    return out;
}

std::vector<std::string> normalizedNamesOf(const AppUpdateRule& rule) {
    std::vector<std::string> names;
    auto add = [&names](std::string_view name) {
        std::string normal = normalizeAppName(name);
        if (!normal.empty() && std::find(names.begin(), names.end(), normal) == names.end()) names.push_back(normal);
    };
    for (const std::string& name : rule.normalizedNames) add(name);
    add(rule.displayName);
    for (const std::string& alias : rule.aliases) add(alias);
    return names;
}

std::string ruleSourceDetail(const AppUpdateRule& rule) { return ruleSourceDetail(rule, rule.primarySource); }

std::string ruleSourceDetail(const AppUpdateRule& rule, AppRulePrimarySource source) {
    std::string detail;
    switch (source) {
        case AppRulePrimarySource::MacAppStore:
            detail = "App Store ";
            detail += rule.appStoreID.value_or("?");
            break;
        case AppRulePrimarySource::Sparkle: detail = rule.sparkleFeedURL.value_or("?"); break;
        case AppRulePrimarySource::HomebrewCask:
            detail = "cask ";
            detail += rule.homebrewCaskName.value_or("?");
            break;
        case AppRulePrimarySource::GitHub:
            if (rule.github) {
                detail = rule.github->owner;
                detail += "/";
                detail += rule.github->repo;
            }
            break;
        case AppRulePrimarySource::Electron:
        case AppRulePrimarySource::GenericUpdater:
            if (rule.genericUpdater) {
                detail = rawValue(rule.genericUpdater->mechanism);
                if (rule.genericUpdater->updateURL) {
                    detail += " ";
                    detail += *rule.genericUpdater->updateURL;
                }
            }
            break;
        case AppRulePrimarySource::DirectDownload:
            if (rule.directDownload) {
                detail = rawValue(rule.directDownload->provider);
                detail += " ";
                detail += rule.directDownload->productCode;
            }
            break;
        case AppRulePrimarySource::Manual: detail = rule.manualDownloadURL.value_or("manual"); break;
    }
    return detail.empty() ? std::string("?") : detail;
}

Json toJson(const AppUpdateRule& rule) {
    Json json = Json::object();
    json["bundleIdentifier"] = rule.bundleIdentifier;
    json["displayName"] = rule.displayName;
    json["aliases"] = rule.aliases;
    json["normalizedNames"] = rule.normalizedNames;
    json["primarySource"] = std::string(rawValue(rule.primarySource));
    Json fallbacks = Json::array();
    for (AppRulePrimarySource fallback : rule.fallbackSources) fallbacks.push_back(std::string(rawValue(fallback)));
    json["fallbackSources"] = std::move(fallbacks);
    json["manualOnly"] = rule.manualOnly;
    put(json, "notes", rule.notes);
    json["confidence"] = std::string(rawValue(rule.confidence));
    put(json, "appStoreID", rule.appStoreID);
    put(json, "sparkleFeedURL", rule.sparkleFeedURL);
    put(json, "homebrewCaskName", rule.homebrewCaskName);
    put(json, "manualDownloadURL", rule.manualDownloadURL);
    put(json, "appleDBPageDataPath", rule.appleDBPageDataPath);
    if (rule.github) json["github"] = Json{{"owner", rule.github->owner}, {"repo", rule.github->repo}};
    if (rule.genericUpdater) {
        Json generic = Json{{"mechanism", std::string(rawValue(rule.genericUpdater->mechanism))}};
        put(generic, "updateURL", rule.genericUpdater->updateURL);
        put(generic, "releaseNotesURL", rule.genericUpdater->releaseNotesURL);
        json["genericUpdater"] = std::move(generic);
    }
    if (rule.directDownload) {
        Json direct = Json{{"provider", std::string(rawValue(rule.directDownload->provider))},
                           {"productCode", rule.directDownload->productCode},
                           {"channel", rule.directDownload->channel},
                           {"requiresAdminPrivileges", rule.directDownload->requiresAdminPrivileges}};
        if (rule.directDownload->supportsAutomaticInstall) {
            direct["supportsAutomaticInstall"] = *rule.directDownload->supportsAutomaticInstall;
        }
        json["directDownload"] = std::move(direct);
    }
    return json;
}

AppUpdateRule appUpdateRuleFromJson(const Json& json) {
    if (!json.is_object()) throw AppRuleDecodingError("a rule is not a JSON object");
    AppUpdateRule rule;
    rule.bundleIdentifier = requiredString(json, "bundleIdentifier");
    rule.displayName = optionalString(json, "displayName").value_or(rule.bundleIdentifier);
    rule.aliases = strings(json, "aliases");
    rule.normalizedNames = strings(json, "normalizedNames");
    rule.primarySource = source(requiredString(json, "primarySource"), "primarySource");
    for (const std::string& raw : strings(json, "fallbackSources")) {
        rule.fallbackSources.push_back(source(raw, "fallbackSources"));
    }
    rule.manualOnly = flag(json, "manualOnly", false);
    rule.notes = optionalString(json, "notes");
    if (auto raw = optionalString(json, "confidence")) {
        auto confidence = appRuleConfidenceFromRaw(*raw);
        if (!confidence) fail("confidence", "has an unknown value \"" + *raw + "\"");
        rule.confidence = *confidence;
    }
    rule.appStoreID = optionalString(json, "appStoreID");
    rule.sparkleFeedURL = optionalString(json, "sparkleFeedURL");
    rule.homebrewCaskName = optionalString(json, "homebrewCaskName");
    rule.manualDownloadURL = optionalString(json, "manualDownloadURL");
    rule.appleDBPageDataPath = optionalString(json, "appleDBPageDataPath");
    if (auto found = json.find("github"); found != json.end() && !found->is_null()) {
        if (!found->is_object()) fail("github", "is not an object");
        rule.github = GitHubRuleConfig{requiredString(*found, "owner"), requiredString(*found, "repo")};
    }
    if (auto found = json.find("genericUpdater"); found != json.end() && !found->is_null()) {
        if (!found->is_object()) fail("genericUpdater", "is not an object");
        GenericUpdaterRuleConfig generic;
        std::string raw = requiredString(*found, "mechanism");
        auto mechanism = genericUpdateMechanismFromRaw(raw);
        if (!mechanism) fail("genericUpdater.mechanism", "has an unknown value \"" + raw + "\"");
        generic.mechanism = *mechanism;
        generic.updateURL = optionalString(*found, "updateURL");
        generic.releaseNotesURL = optionalString(*found, "releaseNotesURL");
        rule.genericUpdater = std::move(generic);
    }
    if (auto found = json.find("directDownload"); found != json.end() && !found->is_null()) {
        if (!found->is_object()) fail("directDownload", "is not an object");
        DirectDownloadRuleConfig direct;
        std::string raw = requiredString(*found, "provider");
        auto provider = directDownloadProviderFromRaw(raw);
        if (!provider) fail("directDownload.provider", "has an unknown value \"" + raw + "\"");
        direct.provider = *provider;
        direct.productCode = requiredString(*found, "productCode");
        direct.channel = optionalString(*found, "channel").value_or("");
        direct.requiresAdminPrivileges = flag(*found, "requiresAdminPrivileges", false);
        if (auto automatic = found->find("supportsAutomaticInstall"); automatic != found->end() && !automatic->is_null()) {
            if (!automatic->is_boolean()) fail("directDownload.supportsAutomaticInstall", "is not a boolean");
            direct.supportsAutomaticInstall = automatic->get<bool>();
        }
        rule.directDownload = std::move(direct);
    }
    rule.normalizedNames = normalizedNamesOf(rule);
    return rule;
}

}  // namespace vt
