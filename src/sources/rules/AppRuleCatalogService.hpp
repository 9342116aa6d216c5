#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Application.hpp"
#include "sources/SourceSettings.hpp"
#include "sources/rules/AppUpdateRule.hpp"

namespace vt {

// The user's own rules, "local-update-rules.json" in the support folder: a JSON list of
// rules, written atomically after each change. A rule that cannot be read is skipped (logged)
// and the others load.
class LocalRuleOverrideStore {
public:
    explicit LocalRuleOverrideStore(std::string path);
    static std::string defaultPath();

    std::vector<AppUpdateRule> load() const;
    // Adds the rule, or replaces the one with the same bundle identifier. Throws FileWriteError.
    void put(const AppUpdateRule& rule);
    // Whether a rule was there. Throws FileWriteError.
    bool remove(const std::string& bundleIdentifier);
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    mutable std::mutex mutex_;  // one read-change-write at a time within the process
};

// Decodes a list of rules; rules that cannot be read are skipped with a log line naming
// `origin`. Nothing (logged) when the text is not a JSON list.
std::optional<std::vector<AppUpdateRule>> decodeRuleList(std::string_view text, std::string_view origin);

struct CatalogMatch {
    AppUpdateRule rule;
    bool isLocal = false;
};

// The per-application rules: the shipped seed overlaid by the local rules, looked up by
// bundle identifier, else by normalised name. Immutable once built, so any thread may read
// it; shared() hands out the current one and rebuild() replaces it after a local change.
class AppRuleCatalogService {
public:
    // A seed that is nothing or unreadable leaves only the local rules.
    static AppRuleCatalogService build(std::optional<std::string_view> seedText, const std::vector<AppUpdateRule>& local);
    // The seed shipped with the program: "Resources/update-rules.seed.json" beside the
    // executable when there is one, else the copy built into the program.
    static std::optional<std::string> shippedSeed();

    static std::shared_ptr<const AppRuleCatalogService> shared();
    // Re-reads the seed and the local rules file (after `rules add` or `rules remove`).
    static std::shared_ptr<const AppRuleCatalogService> rebuild();

    std::optional<CatalogMatch> lookup(const std::string& bundleIdentifier, std::string_view name = {}) const;
    std::vector<CatalogMatch> all() const;  // by bundle identifier

    const std::map<std::string, CatalogMatch>& rulesByBundleIdentifier() const noexcept { return byIdentifier_; }
    const std::map<std::string, std::string>& rulesByName() const noexcept { return byName_; }  // → identifier

    // The rule that speaks for an application: by bundle identifier, else by name when the
    // rule's identifier has the application's vendor prefix.
    std::optional<CatalogMatch> ruleFor(const Application& application) const;
    // The same, when it decides the application's source: the source is still open, or the
    // rule is the user's own.
    std::optional<CatalogMatch> followedRule(const Application& application) const;
    // Sets the mechanism and source data that `source` of the rule (its primary source or a
    // fallback) gives, the reason ("Local rule: " first for a user's rule) and the matched
    // identifier, and logs "Rule-based source (…): … → …". False, with nothing changed, when
    // the rule has no data for that source.
    static bool applySource(Application& application, const CatalogMatch& match, AppRulePrimarySource source);
    // Applies the followed rule's primary source; a source that is switched off is not
    // applied. Returns the rule applied.
    std::optional<CatalogMatch> apply(Application& application, const SourceSettings& enabled) const;

private:
    std::map<std::string, CatalogMatch> byIdentifier_;
    std::map<std::string, std::string> byName_;
};

}  // namespace vt
