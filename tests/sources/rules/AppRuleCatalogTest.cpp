#include "sources/rules/AppRuleCatalogService.hpp"

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "sources/ApplicationUpdateChecks.hpp"
#include "sources/rules/KnownIssuesRegistry.hpp"
#include "sources/rules/RuleDiscovery.hpp"
#include "sources/rules/RuleFeedbackStore.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

constexpr const char* kSeed = R"([
  {"bundleIdentifier": "com.example.editor", "displayName": "Example Editor", "aliases": ["Editor"],
   "primarySource": "sparkle", "sparkleFeedURL": "https://example.com/appcast.xml", "confidence": "high"},
  {"bundleIdentifier": "com.example.broken", "displayName": 42, "primarySource": "github"},
  {"bundleIdentifier": "com.example.tool", "displayName": "Tool", "primarySource": "homebrewCask",
   "homebrewCaskName": "tool"}
])";

AppUpdateRule gitHubRule(const std::string& identifier, const std::string& name) {
    return {.bundleIdentifier = identifier, .displayName = name, .primarySource = AppRulePrimarySource::GitHub,
            .github = GitHubRuleConfig{"someone", "tool"}};
}

Application installed(const std::string& identifier, const std::string& name) {
    return {.id = identifier, .name = name, .version = "1.0", .bundleIdentifier = identifier};
}

TEST(AppRuleCatalogTest, SeedLocalRulesLookupAndApplication) {
    LogCapture log;
    const std::vector<AppUpdateRule> local{gitHubRule("com.example.tool", "Tool")};

    // A seed that is missing, or not a list, leaves the local rules alone in the catalog.
    for (std::optional<std::string_view> seed : {std::optional<std::string_view>(), std::optional<std::string_view>("{not json")}) {
        AppRuleCatalogService catalog = AppRuleCatalogService::build(seed, local);
        ASSERT_EQ(catalog.all().size(), 1u);
        EXPECT_TRUE(catalog.lookup("com.example.tool")->isLocal);
    }

    // The rule with a wrong type is skipped with its line; the others load, and the local rule
    // replaces the seed's rule of the same identifier, names and all.
    AppRuleCatalogService catalog = AppRuleCatalogService::build(kSeed, local);
    EXPECT_TRUE(log.contains("Skipping rule 1 of update-rules.seed.json: \"displayName\" is not a string"));
    ASSERT_EQ(catalog.all().size(), 2u);
    EXPECT_FALSE(catalog.lookup("com.example.broken"));
    auto tool = catalog.lookup("com.example.tool");
    ASSERT_TRUE(tool);
    EXPECT_TRUE(tool->isLocal);
    EXPECT_EQ(tool->rule.primarySource, AppRulePrimarySource::GitHub);
    // By normalised name when the identifier is unknown: display name or alias, any spelling.
    EXPECT_EQ(catalog.lookup("org.other.id", "example-editor.app")->rule.bundleIdentifier, "com.example.editor");
    EXPECT_EQ(catalog.lookup("org.other.id", " EDITOR ")->rule.bundleIdentifier, "com.example.editor");
    EXPECT_FALSE(catalog.lookup("org.other.id", "Editors"));
    EXPECT_EQ(catalog.rulesByName().at("example editor"), "com.example.editor");

    // Applying: the seed's rule only to an application whose source is still open, the local
    // rule whatever the bundle said, and nothing for a source that is switched off.
    Application editor = installed("com.example.editor", "Example Editor");
    ASSERT_TRUE(catalog.apply(editor, {}));
    EXPECT_EQ(editor.updateMechanism, UpdateMechanism::Sparkle);
    EXPECT_EQ(editor.sparkleAppcastURL, "https://example.com/appcast.xml");
    EXPECT_EQ(editor.resolutionReason, "Rule catalog: https://example.com/appcast.xml");
    EXPECT_EQ(editor.detectionConfidence, DetectionConfidence::High);
    EXPECT_EQ(editor.matchedRuleIdentifier, "com.example.editor");
    EXPECT_TRUE(log.contains("Rule-based source (sparkle): Example Editor → https://example.com/appcast.xml"));
    // By name: within the vendor's identifiers only.
    Application renamed = installed("com.example.editor-beta", "Editor");
    EXPECT_TRUE(catalog.apply(renamed, {}));
    Application stranger = installed("org.other.editor", "Editor");
    EXPECT_FALSE(catalog.apply(stranger, {}));
    Application resolved = installed("com.example.editor", "Example Editor");
    resolved.updateMechanism = UpdateMechanism::MacAppStore;
    EXPECT_FALSE(catalog.apply(resolved, {}));

    Application local2 = installed("com.example.tool", "Tool");
    local2.updateMechanism = UpdateMechanism::Sparkle;
    ASSERT_TRUE(catalog.apply(local2, {}));
    EXPECT_EQ(local2.resolutionSource, AppRulePrimarySource::GitHub);
    EXPECT_EQ(local2.resolutionReason, "Local rule: someone/tool");
    SourceSettings noGitHub;
    noGitHub.setEnabled(AppRulePrimarySource::GitHub, false);
    Application off = installed("com.example.tool", "Tool");
    EXPECT_FALSE(catalog.apply(off, noGitHub));
    EXPECT_FALSE(off.resolutionSource);
}

TEST(AppRuleCatalogTest, ShippedSeedLoadsWhole) {
    LogCapture log;
    auto seed = AppRuleCatalogService::shippedSeed();
    ASSERT_TRUE(seed);
    AppRuleCatalogService catalog = AppRuleCatalogService::build(*seed, {});
    EXPECT_FALSE(log.contains("Skipping rule"));
    EXPECT_GE(catalog.all().size(), 40u);
}

TEST(AppRuleCatalogTest, LocalStoreReplacesRemovesAndSurvivesAReload) {
    testing::TempDir dir("vt-rules");
    LocalRuleOverrideStore store(dir.file("Van Treel/local-update-rules.json"));
    EXPECT_TRUE(store.load().empty());
    store.put(gitHubRule("com.example.a", "A"));
    store.put(gitHubRule("com.example.b", "B"));
    AppUpdateRule replaced = gitHubRule("com.example.a", "A");
    replaced.github = GitHubRuleConfig{"other", "a"};
    store.put(replaced);
    std::vector<AppUpdateRule> rules = LocalRuleOverrideStore(store.path()).load();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].bundleIdentifier, "com.example.b");
    EXPECT_EQ(rules[1].github->owner, "other");
    EXPECT_EQ(rules[1].normalizedNames, std::vector<std::string>{"a"});
    EXPECT_TRUE(store.remove("com.example.b"));
    EXPECT_FALSE(store.remove("com.example.b"));
    EXPECT_EQ(store.load().size(), 1u);
    // The saved form decodes to the same rule.
    EXPECT_EQ(appUpdateRuleFromJson(toJson(rules[1])), rules[1]);
}

TEST(AppRuleCatalogTest, NamesNormaliseAcrossSpellings) {
    for (const char* spelling : {"Visual Studio Code.app", "visual-studio-code", "  Visual__Studio   Code "})
        EXPECT_EQ(normalizeAppName(spelling), "visual studio code") << spelling;
    EXPECT_EQ(normalizeAppName("zoom.us"), "zoom us");
    EXPECT_EQ(normalizeAppName("1Password 7"), "1password 7");
    EXPECT_EQ(normalizeAppName("Übersicht"), "Übersicht");
    EXPECT_EQ(normalizeAppName(".app"), "app");
    EXPECT_EQ(normalizeAppName("---"), "");
}

TEST(AppRuleCatalogTest, ManualInputIsParsedOrRefusedWithItsError) {
    using Type = RuleCandidateSourceType;
    auto error = [](Type type, std::string_view input) { return RuleDiscoveryService::parseManualInput(type, input).error; };
    EXPECT_EQ(error(Type::GitHub, "  "), ManualRuleSourceParseError::EmptyInput);
    EXPECT_EQ(error(Type::GitHub, "justone"), ManualRuleSourceParseError::InvalidGitHub);
    EXPECT_EQ(error(Type::GitHub, "a/b/c"), ManualRuleSourceParseError::InvalidGitHub);
    EXPECT_EQ(error(Type::GitHub, "https://gitlab.com/a/b"), ManualRuleSourceParseError::InvalidGitHub);
    EXPECT_EQ(error(Type::Sparkle, "ftp://example.com/feed.xml"), ManualRuleSourceParseError::InvalidSparkleURL);
    EXPECT_EQ(error(Type::Sparkle, "example.com/feed.xml"), ManualRuleSourceParseError::InvalidSparkleURL);
    EXPECT_EQ(error(Type::HomebrewCask, "google chrome"), ManualRuleSourceParseError::InvalidHomebrewCask);
    EXPECT_EQ(messageKey(ManualRuleSourceParseError::InvalidHomebrewCask), "rule_discovery.manual.error.invalid_homebrew");

    for (std::string_view input : {"owner/repo.git", "https://github.com/owner/repo.git", "github.com/owner/repo/"}) {
        auto parsed = RuleDiscoveryService::parseManualInput(Type::GitHub, input);
        ASSERT_TRUE(parsed.candidate) << input;
        EXPECT_EQ(parsed.candidate->githubOwner, "owner");
        EXPECT_EQ(parsed.candidate->githubRepo, "repo");
        EXPECT_EQ(parsed.candidate->provenance, RuleCandidateProvenance::UserSubmitted);
    }
    EXPECT_EQ(RuleDiscoveryService::parseManualInput(Type::HomebrewCask, "font-fira_code.x").candidate->homebrewCaskName,
              "font-fira_code.x");
    EXPECT_EQ(error(Type::HomebrewCask, "temurin@21"), ManualRuleSourceParseError::InvalidHomebrewCask);
}

TEST(AppRuleCatalogTest, KnownIssuesAreReadFromTheirFileAndScansLeaveFeedback) {
    testing::TempDir dir("vt-rules");
    FakeClock clock;
    LogCapture log;
    KnownIssuesRegistry registry(std::string(R"({"version": 3, "apps": [
        {"bundle_id": "com.example.self", "flags": ["auto_updates", "someday"]}, {"flags": ["problematic"]}]})"));
    EXPECT_TRUE(registry.issue("com.example.self")->has(KnownAppFlag::AutoUpdates));
    EXPECT_EQ(registry.size(), 1u);
    EXPECT_TRUE(log.contains("Known issues loaded: 1 entries (file v3)"));
    KnownIssuesRegistry missing{std::optional<std::string>()};
    EXPECT_FALSE(missing.issue("com.example.self"));
    EXPECT_TRUE(log.contains("KnownIssues.json not found in the bundle; the registry will be empty"));

    // After a scan: the unrecognised application and the rule that found nothing, once each
    // however often the scan runs; the found and the resolved leave nothing.
    Application unknown = installed("com.example.unknown", "Unknown");
    Application missed = installed("com.example.missed", "Missed");
    missed.matchedRuleIdentifier = "com.example.missed";
    missed.resolutionSource = AppRulePrimarySource::GitHub;
    Application found = installed("com.example.found", "Found");
    found.latestVersion = "2.0";
    Application sparkle = installed("com.example.sparkle", "Sparkle");
    sparkle.updateMechanism = UpdateMechanism::Sparkle;
    Application byHand = installed("com.example.manual", "By Hand");  // a rule says there is nothing to find
    byHand.matchedRuleIdentifier = "com.example.manual";
    byHand.resolutionSource = AppRulePrimarySource::Manual;
    RuleFeedbackStore store(dir.file("rule-feedback.json"));
    EXPECT_EQ(store.recordScan({unknown, missed, found, sparkle, byHand}, clock.now()), 2u);
    EXPECT_EQ(RuleFeedbackStore(dir.file("rule-feedback.json")).recordScan({unknown, missed}, clock.now()), 0u);
    std::vector<RuleFeedbackEvent> events = RuleFeedbackStore(dir.file("rule-feedback.json")).events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, RuleFeedbackEventKind::UnrecognizedApp);
    EXPECT_EQ(events[1].kind, RuleFeedbackEventKind::RuleResolutionFailed);
    EXPECT_EQ(events[1].matchedRuleIdentifier, "com.example.missed");
    EXPECT_NE(readFile(dir.file("rule-feedback.json")).value_or("").find("\"kind\": \"rule_resolution_failed\""),
              std::string::npos);
}

}  // namespace
}  // namespace vt
