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
    Package package;
    package.name = std::move(name);
    package.version = "1.0";
    package.type = type;
    return package;
}

TEST(ScanResultsPersistenceTest, RoundTripKeepsKindsInTheirFilesAndDatesAsReferenceSeconds) {
    testing::TempDir root;
    ScanResultsPersistence persistence(root.path());
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
    EXPECT_TRUE(persistence.save(results).empty());

    auto gems = parseJson(*readFile(root.file("gems.json")));
    ASSERT_TRUE(gems && gems->size() == 1);
    auto meta = parseJson(*readFile(root.file("scan_metadata.json")));
    EXPECT_DOUBLE_EQ((*meta)["lastScanDate"].get<double>(), 818000000.25);
    EXPECT_EQ(meta->begin().key(), "lastScanDate");
    EXPECT_FALSE(std::filesystem::exists(root.file("cargo_crates.json")));  // never had items

    PersistedScanResults loaded = persistence.load();
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
TEST(ScanResultsPersistenceTest, FailuresSavedInOneLanguageAreNotShownInAnother) {
    testing::TempDir root;
    ScanResultsPersistence persistence(root.path());
    PersistedScanResults results;
    ScanMetadata metadata;
    metadata.sources = {SourceScanState{"pip", "pip", std::string("pip a échoué"), std::string("index injoignable")}};
    metadata.vulnerabilityCheckFailure = "flux injoignable";
    results.metadata = metadata;
    setLanguage(Language::French);
    EXPECT_TRUE(persistence.save(results).empty());
    EXPECT_EQ(persistence.load().metadata->sources[0].failure, "pip a échoué");

    setLanguage(Language::English);
    ScanMetadata english = *persistence.load().metadata;
    EXPECT_EQ(english.sources[0].failure, "the last scan could not list or check it (run vantreel scan to see why)");
    EXPECT_EQ(english.sources[0].warning, "the last scan reported a problem with it (run vantreel scan to see it)");
    EXPECT_EQ(english.vulnerabilityCheckFailure, "run vantreel scan to see why");
}

TEST(ScanResultsPersistenceTest, UndecodableFilesAreLoggedAndIgnoredAlone) {
    testing::TempDir root;
    ScanResultsPersistence persistence(root.path());
    PersistedScanResults results;
    results.packages = {item("semver", PackageType::NpmGlobal), item("rails", PackageType::RubyGem)};
    persistence.save(results);
    writeFileAtomically(root.file("packages.json"), "[{\"name\": \"semver\", \"versi");
    LogCapture log;
    PersistedScanResults loaded = persistence.load();
    ASSERT_EQ(loaded.packages.size(), 1u);
    EXPECT_EQ(loaded.packages[0].name, "rails");
    EXPECT_TRUE(log.contains("Cannot load the saved packages: "));
    EXPECT_EQ(loaded.unreadableFiles, std::vector<std::string>{"packages.json"});

    writeFileAtomically(root.file("packages.json"), R"([{"name":"x","version":"1","type":"Formulae"}])");
    loaded = persistence.load();
    EXPECT_EQ(loaded.packages.size(), 1u);  // the unknown type fails that file only
    EXPECT_EQ(loaded.unreadableFiles, std::vector<std::string>{"packages.json"});
}

// Every field of a saved application comes back as it was; a file that cannot be read as a
// whole gives no applications and says why, without touching the packages.
TEST(ScanResultsPersistenceTest, ApplicationsComeBackWholeOrNotAtAll) {
    testing::TempDir root;
    ScanResultsPersistence persistence(root.path());
    Application full;
    full.id = "editor";
    full.name = "Éditeur";
    full.bundlePath = "/Applications/Editor.app";
    full.version = "2.1";
    full.buildNumber = "2100";
    full.bundleIdentifier = "com.example.editor";
    full.updateMechanism = UpdateMechanism::DirectDownload;
    full.latestVersion = "2.2";
    full.publishDate = fromReferenceSeconds(818000000.5);
    full.directDownloadConfig = DirectDownloadRuleConfig{DirectDownloadProvider::JetBrains, "IIU", "release", true, false};
    full.updateCapability = {true, true, std::nullopt};
    full.updatePreferences = {false, false, fromReferenceSeconds(818000001), 3};
    full.updateStrategy = UpdateStrategy::AutoDownload;
    full.detectionConfidence = DetectionConfidence::BestEffort;
    full.resolutionSource = AppRulePrimarySource::GitHub;
    Application bare;
    bare.id = "bare";
    bare.name = "Bare";
    bare.bundlePath = "/Applications/Bare.app";
    PersistedScanResults results;
    results.packages = {item("semver", PackageType::NpmGlobal)};
    results.applications = std::vector<Application>{full, bare};
    ASSERT_TRUE(persistence.save(results).empty());
    EXPECT_EQ(persistence.loadApplications().applications, (std::vector<Application>{full, bare}));

    for (const char* text : {R"([{"id":"a","name":"A","bundlePath":"/A.app"},{"id":"b","name":"B"}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updatePreferences":{"failedAttempts":1.5}}])",
                             R"([{"id":"a","name":"A","bundlePath":"/A.app","updateMechanism":"fax"}])",
                             R"({"id":"a"})", "[{\"id\": \"a\", \"na"}) {
        writeFileAtomically(root.file("applications.json"), text);
        LogCapture log;
        EXPECT_TRUE(persistence.loadApplications().applications.empty()) << text;
        EXPECT_TRUE(log.contains("applications")) << text;
    }
    EXPECT_EQ(persistence.load().packages.size(), 1u);
}

// A writer killed in the middle of saving must leave the previous file whole.
TEST(ScanResultsPersistenceTest, KilledWriterLeavesThePreviousFileReadable) {
    testing::TempDir root;
    ScanResultsPersistence persistence(root.path());
    PersistedScanResults before;
    before.packages = {item("old", PackageType::NpmGlobal)};
    persistence.save(before);
    PersistedScanResults big;
    for (int i = 0; i < 5000; ++i) big.packages.push_back(item("package-" + std::to_string(i), PackageType::NpmGlobal));
    for (int round = 0; round < 100; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ScanResultsPersistence(root.path()).save(big);
            ::_exit(0);
        }
        ::usleep(static_cast<useconds_t>(200 + (round * 97) % 3000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::size_t count = persistence.load().packages.size();
        ASSERT_TRUE(count == 1 || count == 5000) << "round " << round << ": " << count;
    }
    ScanResultsPersistence reopened(root.path());  // sweeps what the killed writers left
    for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}

}  // namespace
}  // namespace vt
