#include "sources/rules/AppRuleCatalogService.hpp"

#include <filesystem>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "sources/KnownSources.hpp"
#include "system/RunningProcesses.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("AppRuleCatalog");
    return log;
}

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const AppRuleCatalogService>& sharedCatalog() {
    static std::shared_ptr<const AppRuleCatalogService> catalog;
    return catalog;
}

DetectionConfidence detectionConfidence(AppRuleConfidence confidence) {
    switch (confidence) {
        case AppRuleConfidence::High: return DetectionConfidence::High;
        case AppRuleConfidence::Manual: return DetectionConfidence::Manual;
        case AppRuleConfidence::BestEffort: break;
    }
    return DetectionConfidence::BestEffort;
}

// "com.tinyspeck" of "com.tinyspeck.slackmacgap": the first two parts of the identifier.
std::string vendorOf(const std::string& bundleIdentifier) {
    const std::size_t first = bundleIdentifier.find('.');
    if (first == std::string::npos) return bundleIdentifier;
    return bundleIdentifier.substr(0, bundleIdentifier.find('.', first + 1));
}

}  // namespace

std::optional<std::vector<AppUpdateRule>> decodeRuleList(std::string_view text, std::string_view origin) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_array()) {
        logger().error(localized("log.rules.file_not_list", {std::string(origin)}));
        return std::nullopt;
    }
    std::vector<AppUpdateRule> rules;
    for (std::size_t index = 0; index < json->size(); ++index) {
        try {
            rules.push_back(appUpdateRuleFromJson((*json)[index]));
        } catch (const AppRuleDecodingError& error) {
            logger().warning(
                localized("log.rules.rule_skipped", {std::to_string(index), std::string(origin), error.what()}));
        }
    }
    return rules;
}

LocalRuleOverrideStore::LocalRuleOverrideStore(std::string path) : path_(std::move(path)) {}

std::string LocalRuleOverrideStore::defaultPath() { return paths::supportFolder() + "/local-update-rules.json"; }

std::vector<AppUpdateRule> LocalRuleOverrideStore::load() const {
    std::scoped_lock lock(mutex_);
    std::optional<std::string> text = readFile(path_);
    if (!text) return {};
    return decodeRuleList(*text, "local-update-rules.json").value_or(std::vector<AppUpdateRule>{});
}

void LocalRuleOverrideStore::put(const AppUpdateRule& rule) {
    std::vector<AppUpdateRule> rules = load();
    std::scoped_lock lock(mutex_);
    std::erase_if(rules, [&rule](const AppUpdateRule& old) { return old.bundleIdentifier == rule.bundleIdentifier; });
    rules.push_back(rule);
    Json list = Json::array();
    for (const AppUpdateRule& each : rules) list.push_back(toJson(each));
    paths::ensureFolder(std::filesystem::path(path_).parent_path().string());
    writeFileAtomically(path_, dumpJson(list, 2) + "\n");
}

bool LocalRuleOverrideStore::remove(const std::string& bundleIdentifier) {
    std::vector<AppUpdateRule> rules = load();
    std::scoped_lock lock(mutex_);
    const std::size_t removed = std::erase_if(
        rules, [&bundleIdentifier](const AppUpdateRule& old) { return old.bundleIdentifier == bundleIdentifier; });
    if (removed == 0) return false;
    Json list = Json::array();
    for (const AppUpdateRule& each : rules) list.push_back(toJson(each));
    writeFileAtomically(path_, dumpJson(list, 2) + "\n");
    return true;
}

AppRuleCatalogService AppRuleCatalogService::build(std::optional<std::string_view> seedText,
                                                   const std::vector<AppUpdateRule>& local) {
    AppRuleCatalogService catalog;
    std::vector<AppUpdateRule> seed;
    if (!seedText) {
        logger().warning(localized("log.rules.seed_missing"));
    } else if (auto decoded = decodeRuleList(*seedText, "update-rules.seed.json")) {
        seed = std::move(*decoded);
    }
    for (AppUpdateRule& rule : seed) {
        const std::string identifier = rule.bundleIdentifier;
        catalog.byIdentifier_[identifier] = CatalogMatch{std::move(rule), false};
    }
    for (const AppUpdateRule& rule : local) catalog.byIdentifier_[rule.bundleIdentifier] = CatalogMatch{rule, true};
    for (const auto& [identifier, match] : catalog.byIdentifier_) {
        for (const std::string& name : normalizedNamesOf(match.rule)) {
            // A local rule's names win over a seed rule that shares them.
            auto [slot, inserted] = catalog.byName_.emplace(name, identifier);
            if (!inserted && match.isLocal) slot->second = identifier;
        }
    }
    return catalog;
}

std::optional<std::string> AppRuleCatalogService::shippedSeed() {
    if (std::optional<std::string> executable = ownExecutablePath()) {
        for (const char* relative : {"Resources/update-rules.seed.json", "../Resources/update-rules.seed.json"}) {
            auto candidate = std::filesystem::path(*executable).parent_path() / relative;
            if (auto text = readFile(candidate.string())) return text;
        }
    }
    if (auto embedded = embeddedResource("update-rules.seed.json")) return std::string(*embedded);
    return std::nullopt;
}

std::shared_ptr<const AppRuleCatalogService> AppRuleCatalogService::shared() {
    {
        std::scoped_lock lock(sharedMutex());
        if (sharedCatalog()) return sharedCatalog();
    }
    return rebuild();
}

std::shared_ptr<const AppRuleCatalogService> AppRuleCatalogService::rebuild() {
    std::optional<std::string> seed = shippedSeed();
    auto catalog = std::make_shared<const AppRuleCatalogService>(
        build(seed ? std::optional<std::string_view>(*seed) : std::nullopt,
              LocalRuleOverrideStore(LocalRuleOverrideStore::defaultPath()).load()));
    std::scoped_lock lock(sharedMutex());
    sharedCatalog() = catalog;
    return catalog;
}

std::optional<CatalogMatch> AppRuleCatalogService::lookup(const std::string& bundleIdentifier,
                                                          std::string_view name) const {
    if (auto found = byIdentifier_.find(bundleIdentifier); found != byIdentifier_.end()) return found->second;
    if (name.empty()) return std::nullopt;
    auto named = byName_.find(normalizeAppName(name));
    if (named == byName_.end()) return std::nullopt;
    return byIdentifier_.at(named->second);
}

std::vector<CatalogMatch> AppRuleCatalogService::all() const {
    std::vector<CatalogMatch> list;
    for (const auto& [identifier, match] : byIdentifier_) list.push_back(match);
    return list;
}

std::optional<CatalogMatch> AppRuleCatalogService::ruleFor(const Application& application) const {
    std::optional<CatalogMatch> match = lookup(application.bundleIdentifier, application.name);
    if (!match) return std::nullopt;
    // A name is shared by unrelated applications ("Notes", "Slack" from another vendor): a rule
    // found by name alone is followed only within the vendor's own identifiers.
    if (match->rule.bundleIdentifier != application.bundleIdentifier &&
        vendorOf(match->rule.bundleIdentifier) != vendorOf(application.bundleIdentifier)) {
        return std::nullopt;
    }
    return match;
}

std::optional<CatalogMatch> AppRuleCatalogService::followedRule(const Application& application) const {
    std::optional<CatalogMatch> match = ruleFor(application);
    if (!match) return std::nullopt;
    // A source the bundle or an earlier answer already named stands, unless the user said otherwise.
    const bool open = application.updateMechanism == UpdateMechanism::Unknown && !application.resolutionSource;
    if (!open && !match->isLocal) return std::nullopt;
    return match;
}

bool AppRuleCatalogService::applySource(Application& application, const CatalogMatch& match, AppRulePrimarySource source) {
    const AppUpdateRule& rule = match.rule;
    switch (source) {
        case AppRulePrimarySource::MacAppStore:
            if (!rule.appStoreID) return false;
            application.updateMechanism = UpdateMechanism::MacAppStore;
            application.appStoreID = rule.appStoreID;
            break;
        case AppRulePrimarySource::Sparkle:
            if (!rule.sparkleFeedURL) return false;
            application.updateMechanism = UpdateMechanism::Sparkle;
            application.sparkleAppcastURL = rule.sparkleFeedURL;
            break;
        case AppRulePrimarySource::HomebrewCask:
            if (!rule.homebrewCaskName) return false;
            application.updateMechanism = UpdateMechanism::CaskReference;
            application.homebrewCaskName = rule.homebrewCaskName;
            break;
        case AppRulePrimarySource::DirectDownload:
            if (!rule.directDownload) return false;
            application.updateMechanism = UpdateMechanism::DirectDownload;
            application.directDownloadConfig = rule.directDownload;
            break;
        case AppRulePrimarySource::GitHub:
            if (!rule.github) return false;
            break;
        case AppRulePrimarySource::Electron:
        case AppRulePrimarySource::GenericUpdater:
            break;  // the bundle's own updater, or the rule's address through the generic updater
        case AppRulePrimarySource::Manual:
            // Never updated automatically: the row shows the version, the user updates by hand.
            application.updateStrategy = UpdateStrategy::ManualDownload;
            application.updateCapability = UpdateCapability{false, false, std::string("Updated by hand (rule)")};
            if (rule.manualDownloadURL) application.downloadURL = rule.manualDownloadURL;
            break;
    }
    const std::string detail = ruleSourceDetail(rule, source);
    application.resolutionSource = source;
    std::string reason = match.isLocal ? "Local rule: " : "Rule catalog: ";
    reason += detail;
    application.resolutionReason = std::move(reason);
    application.matchedRuleIdentifier = rule.bundleIdentifier;
    application.detectionConfidence = detectionConfidence(rule.confidence);
    logger().info(localized("log.rules.source_used", {std::string(rawValue(source)), application.name, detail}));
    return true;
}

std::optional<CatalogMatch> AppRuleCatalogService::apply(Application& application, const SourceSettings& enabled) const {
    std::optional<CatalogMatch> match = followedRule(application);
    if (!match) return std::nullopt;
    const AppRulePrimarySource source = match->rule.primarySource;
    if (source != AppRulePrimarySource::Manual && !enabled.isEnabled(source)) return std::nullopt;
    if (!applySource(application, *match, source)) return std::nullopt;
    return match;
}

}  // namespace vt
