#include "core/ScanResultsPersistence.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

Package item(std::string name, PackageType type) {
    return Package{.name = std::move(name), .version = "1.0", .type = type};
}

class ScanResultsPersistenceTest : public ::testing::Test {
protected:
    testing::TempDir root_;
    ScanResultsPersistence persistence_{root_.path()};
};

TEST_F(ScanResultsPersistenceTest, RoundTripKeepsKindsInTheirFilesAndDatesAsReferenceSeconds) {
    PersistedScanResults results;
    results.packages = {item("semver", PackageType::NpmGlobal), item("rails", PackageType::RubyGem)};
    ScanMetadata metadata;
    metadata.lastScanDate = fromReferenceSeconds(818000000.25);
    metadata.packagesCount = 2;
    SourceScanState slow{.id = "npm", .name = "npm", .itemsDate = metadata.lastScanDate};
    slow.durationSeconds = 12.5;
    slow.latestKnown = false;
    metadata.sources = {slow, SourceScanState{"pip", "pip", std::string("pip exited with status 2"), std::nullopt}};
    // Whether a source's last check learned nothing decides how long the next process reuses it.
    metadata.sourceInputs = {{"gems", "gempath 1", fromReferenceSeconds(818000000), true},
                             {"npm", "prefix 1", fromReferenceSeconds(818000000), false}};
    results.metadata = metadata;
    EXPECT_TRUE(persistence_.save(results).empty());

    auto gems = parseJson(*readFile(root_.file("gems.json")));
    ASSERT_TRUE(gems && gems->size() == 1);
    auto meta = parseJson(*readFile(root_.file("scan_metadata.json")));
    EXPECT_DOUBLE_EQ((*meta)["lastScanDate"].get<double>(), 818000000.25);
    EXPECT_EQ(meta->begin().key(), "lastScanDate");
    EXPECT_FALSE(std::filesystem::exists(root_.file("cargo_crates.json")));  // never had items

    PersistedScanResults loaded = persistence_.load();
    EXPECT_EQ(loaded.packages.size(), 2u);
    EXPECT_NEAR(toReferenceSeconds(loaded.metadata->lastScanDate), 818000000.25, 1e-6);
    // How each source fared comes back; a failure read from a file of an earlier version,
    // which did not say, means its latest versions are unknown too.
    ASSERT_EQ(loaded.metadata->sources.size(), 2u);
    EXPECT_EQ(loaded.metadata->sources[0].durationSeconds, 12.5);
    EXPECT_FALSE(loaded.metadata->sources[0].latestKnown);
    EXPECT_FALSE(loaded.metadata->sources[1].latestKnown);
    ASSERT_EQ(loaded.metadata->sourceInputs.size(), 2u);
    EXPECT_TRUE(loaded.metadata->sourceInputs[0].latestUnknown);
    EXPECT_FALSE(loaded.metadata->sourceInputs[1].latestUnknown);
    Json older = (*meta)["sources"][1];
    older.erase("latestKnown");
    EXPECT_FALSE(SourceScanState::fromJson(older).latestKnown);
    EXPECT_TRUE(SourceScanState::fromJson(Json{{"id", "npm"}}).latestKnown);
}

// Why a source failed is saved in the language of the scan; read under another one, a
// sentence of that language stands in, so that no screen mixes two.
TEST_F(ScanResultsPersistenceTest, FailuresSavedInOneLanguageAreNotShownInAnother) {
    PersistedScanResults results;
    ScanMetadata metadata;
    metadata.sources = {SourceScanState{"pip", "pip", std::string("pip a échoué"), std::string("index injoignable")}};
    metadata.vulnerabilityCheckFailure = "flux injoignable";
    results.metadata = metadata;
    setLanguage(Language::French);
    EXPECT_TRUE(persistence_.save(results).empty());
    EXPECT_EQ(persistence_.load().metadata->sources[0].failure, "pip a échoué");

    setLanguage(Language::English);
    ScanMetadata english = *persistence_.load().metadata;
    EXPECT_EQ(english.sources[0].failure, "the last scan could not list or check it (run vantreel scan to see why)");
    EXPECT_EQ(english.sources[0].warning, "the last scan reported a problem with it (run vantreel scan to see it)");
    EXPECT_EQ(english.vulnerabilityCheckFailure, "run vantreel scan to see why");
}

TEST_F(ScanResultsPersistenceTest, UndecodableFilesAreLoggedAndIgnoredAlone) {
    PersistedScanResults results;
    results.packages = {item("semver", PackageType::NpmGlobal), item("rails", PackageType::RubyGem)};
    persistence_.save(results);
    writeFileAtomically(root_.file("packages.json"), "[{\"name\": \"semver\", \"versi");
    LogCapture log;
    PersistedScanResults loaded = persistence_.load();
    ASSERT_EQ(loaded.packages.size(), 1u);
    EXPECT_EQ(loaded.packages[0].name, "rails");
    EXPECT_TRUE(log.contains("Cannot load the saved packages: "));
    EXPECT_EQ(loaded.unreadableFiles, std::vector<std::string>{"packages.json"});

    writeFileAtomically(root_.file("packages.json"), R"([{"name":"x","version":"1","type":"Formulae"}])");
    loaded = persistence_.load();
    EXPECT_EQ(loaded.packages.size(), 1u);  // the unknown type fails that file only
    EXPECT_EQ(loaded.unreadableFiles, std::vector<std::string>{"packages.json"});
}

// Every field of a saved application comes back as it was; a file that cannot be read as a
// whole gives no applications and says why, without touching the packages.
TEST_F(ScanResultsPersistenceTest, ApplicationsComeBackWholeOrNotAtAll) {
    const Application full{
        .id = "editor", .name = "Éditeur", .bundlePath = "/Applications/Editor.app", .version = "2.1",
        .buildNumber = "2100", .bundleIdentifier = "com.example.editor",
        .updateMechanism = UpdateMechanism::DirectDownload, .latestVersion = "2.2",
        .publishDate = fromReferenceSeconds(818000000.5),
        .directDownloadConfig = DirectDownloadRuleConfig{DirectDownloadProvider::JetBrains, "IIU", "release", true,
                                                         false},
        .updateCapability = {true, true, std::nullopt},
        .updatePreferences = {false, false, fromReferenceSeconds(818000001), 3},
        .updateStrategy = UpdateStrategy::AutoDownload, .detectionConfidence = DetectionConfidence::BestEffort,
        .resolutionSource = AppRulePrimarySource::GitHub};
    const Application bare{.id = "bare", .name = "Bare", .bundlePath = "/Applications/Bare.app"};
    PersistedScanResults results;
    results.packages = {item("semver", PackageType::NpmGlobal)};
    results.applications = std::vector<Application>{full, bare};
    ASSERT_TRUE(persistence_.save(results).empty());
    EXPECT_EQ(persistence_.loadApplications().applications, (std::vector<Application>{full, bare}));

    for (const char* text : {R"([{"id":"a","name":"A","bundlePath":"/A.app"},{"id":"b","name":"B"}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updatePreferences":{"failedAttempts":1.5}}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updateMechanism":"fax"}])",
                             R"({"id":"a"})", "[{\"id\": \"a\", \"na"}) {
        writeFileAtomically(root_.file("applications.json"), text);
        LogCapture log;
        EXPECT_TRUE(persistence_.loadApplications().applications.empty()) << text;
        EXPECT_TRUE(log.contains("applications")) << text;
    }
    EXPECT_EQ(persistence_.load().packages.size(), 1u);
}

// A saved application is read as a strict reader reads JSON: of a field given twice the first
// counts, null is no value, what nobody reads is passed over however deep it nests, and a
// value of the wrong kind anywhere makes the whole file unreadable.
TEST_F(ScanResultsPersistenceTest, ApplicationFieldsAreReadOnceAndStrictly) {
    writeFileAtomically(root_.file("applications.json"), R"([
        {"extra":{"id":"inner","deep":[{"name":"no"}]},"id":"a","name":"A","id":"second",
         "bundlePath":"/A.app","version":null,"latestVersion":"2","latestVersion":"3",
         "updateCapability":{"limitation":"by hand","nested":{"isAutoUpdateable":true}},
         "updateCapability":{"isAutoUpdateable":true},
         "updatePreferences":{"failedAttempts":2147483647,"allowAutoUpdate":false},
         "list":[1,{"a":[]}],"updateStrategy":"autoCLI"},
        {"id":"b","name":"B","bundlePath":"/B.app","directDownloadConfig":{"provider":"jetBrains","productCode":"X"}}])");
    const std::vector<Application> read = persistence_.loadApplications().applications;
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].id, "a");
    EXPECT_EQ(read[0].version, "");
    EXPECT_EQ(read[0].latestVersion, "2");
    EXPECT_EQ(read[0].updateCapability.limitation, "by hand");
    EXPECT_FALSE(read[0].updateCapability.isAutoUpdateable);
    EXPECT_EQ(read[0].updatePreferences.failedAttempts, 2147483647);
    EXPECT_FALSE(read[0].updatePreferences.allowAutoUpdate);
    EXPECT_TRUE(read[0].updatePreferences.includeInBatchUpdate);
    EXPECT_EQ(read[0].updateStrategy, UpdateStrategy::AutoCLI);
    ASSERT_TRUE(read[1].directDownloadConfig);
    EXPECT_EQ(read[1].directDownloadConfig->provider, DirectDownloadProvider::JetBrains);
    EXPECT_EQ(read[1].directDownloadConfig->productCode, "X");
    EXPECT_EQ(read[1].directDownloadConfig->channel, "");

    for (const char* text : {R"([{"id":"a","name":"A","bundlePath":"/A.app","updateCapability":[]}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updatePreferences":{"failedAttempts":2147483648}}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updateCapability":{"limitation":{}}}])",
                             R"([{"id":null,"name":"A","bundlePath":"/A.app","id":"a"}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","isIgnored":"yes"}])", "[[]]", "[1]"}) {
        writeFileAtomically(root_.file("applications.json"), text);
        EXPECT_TRUE(persistence_.loadApplications().applications.empty()) << text;
    }
}

// A writer killed in the middle of saving must leave the previous file whole.
TEST_F(ScanResultsPersistenceTest, KilledWriterLeavesThePreviousFileReadable) {
    PersistedScanResults before;
    before.packages = {item("old", PackageType::NpmGlobal)};
    persistence_.save(before);
    PersistedScanResults big;
    for (int i = 0; i < 5000; ++i) big.packages.push_back(item("package-" + std::to_string(i), PackageType::NpmGlobal));
    for (int round = 0; round < 100; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ScanResultsPersistence(root_.path()).save(big);
            ::_exit(0);
        }
        ::usleep(static_cast<useconds_t>(200 + (round * 97) % 3000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::size_t count = persistence_.load().packages.size();
        ASSERT_TRUE(count == 1 || count == 5000) << "round " << round << ": " << count;
    }
    ScanResultsPersistence reopened(root_.path());  // sweeps what the killed writers left
    for (const auto& entry : std::filesystem::directory_iterator(root_.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}

}  // namespace
}  // namespace vt
