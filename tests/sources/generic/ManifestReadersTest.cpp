#include <gtest/gtest.h>

#include "sources/generic/ElectronManifest.hpp"
#include "sources/generic/GenericVersionReleaseManifest.hpp"
#include "sources/generic/ManifestSupport.hpp"
#include "sources/generic/TauriManager.hpp"
#include "support/Corpus.hpp"
#include "support/Thrown.hpp"

namespace vt {
namespace {

std::string chosen(std::string_view file, std::string_view architecture) {
    return parseElectronRelease(testing::corpusFile(std::string("electron/") + std::string(file)), architecture)
        .path.value_or("(none)");
}

std::string errorOf(const std::function<void()>& read) {
    std::optional<ManifestError> error = testing::thrown<ManifestError>(read);
    return error ? error->what() : "(no error)";
}

TEST(ManifestReadersTest, ElectronManifestsPickTheFileForThisMac) {
    ElectronReleaseInfo flyenv = parseElectronRelease(testing::corpusFile("electron/flyenv.latest-mac.yml"), "aarch64");
    EXPECT_EQ(flyenv.version, "4.18.1");
    EXPECT_EQ(flyenv.path, "FlyEnv-4.18.1-arm64.dmg");
    EXPECT_EQ(flyenv.size, 170505055);
    EXPECT_EQ(flyenv.releaseDate, parseIsoDate("2026-08-21T15:15:19.284Z"));
    EXPECT_EQ(chosen("flyenv.latest-mac.yml", "x86_64"), "FlyEnv-4.18.1.dmg");
    EXPECT_EQ(chosen("flyenv.latest-mac-arm64.yml", "aarch64"), "FlyEnv-4.18.1-arm64.dmg");
    EXPECT_EQ(chosen("mimicry.latest-mac.arm64.yml", "x86_64"), "(none)");  // no Intel build at all
    EXPECT_EQ(chosen("promptcopy.latest-mac.universal.yml", "x86_64"), "PromptCopy-0.0.1-universal-mac.zip");
    // The feed that left Electron: Tauri-style names, a date without milliseconds.
    ElectronReleaseInfo later = parseElectronRelease(testing::corpusFile("electron/mimicry.latest-mac.tar-gz.yml"), "aarch64");
    EXPECT_EQ(later.path, "Mimicry_7.1.6_aarch64.dmg");
    EXPECT_TRUE(later.releaseDate.has_value());
    // Linux and Windows files are never chosen, even when the manifest's own path names one.
    EXPECT_EQ(chosen("flyenv.latest-linux.yml", "x86_64"), "(none)");
    EXPECT_EQ(chosen("flyenv.latest-linux-arm64.yml", "aarch64"), "(none)");
    ElectronReleaseInfo windows = parseElectronRelease(testing::corpusFile("electron/desktop-facebook-messenger.latest.2018.yml"), "x86_64");
    EXPECT_EQ(windows.version, "1.0.2");
    EXPECT_FALSE(windows.path);
    EXPECT_EQ(macFileFit("App-1.0.0-mac.zip.blockmap", "x86_64"), 0);
}

TEST(ManifestReadersTest, TauriManifestsGiveThisArchitecturesEntry) {
    TauriManifestResult arm = parseTauriManifest(testing::corpusFile("tauri/ai-limits.updater-latest.json"), "aarch64");
    EXPECT_EQ(arm.version, "0.5.0");
    EXPECT_NE(arm.downloadURL.value_or("").find("macos-arm64"), std::string::npos);
    EXPECT_NE(arm.notes.value_or("").find("\xE2\x86\x92"), std::string::npos);  // the escaped arrow, decoded
    // Microseconds kept.
    EXPECT_EQ(arm.publishDate, parseIsoDate("2026-08-06T19:44:00Z").value() + std::chrono::microseconds(658701));
    EXPECT_NE(parseTauriManifest(testing::corpusFile("tauri/ai-limits.updater-latest.json"), "x86_64")
                  .downloadURL.value_or("")
                  .find("macos-intel"),
              std::string::npos);
    TauriManifestResult shared = parseTauriManifest(testing::corpusFile("tauri/agent-status.updater-latest.json"), "x86_64");
    EXPECT_EQ(shared.version, "0.10.0");
    EXPECT_NE(shared.downloadURL.value_or("").find(".app.tar.gz"), std::string::npos);
    EXPECT_EQ(parseTauriManifest(testing::corpusFile("tauri/clippal.latest.json"), "aarch64").version, "1.0.7");
    // Windows-only manifests (CRLF, "v" prefix, missing notes) are read but offer nothing to a Mac.
    EXPECT_EQ(errorOf([] { parseTauriManifest(testing::corpusFile("tauri/loa-logs.latest.json"), "aarch64"); }),
              "no entry for darwin-aarch64");
    EXPECT_EQ(errorOf([] { parseTauriManifest(testing::corpusFile("tauri/loa-logs.latest.2023-12.json"), "x86_64"); }),
              "no entry for darwin-x86_64");
    EXPECT_EQ(parseTauriManifest(R"({"version":"v1.10.8-sync","url":"https://e.test/a.tar.gz"})", "aarch64").version,
              "1.10.8-sync");
    EXPECT_EQ(parseIsoDate("2024-06-17T07:56:48.5+02:00"),
              parseIsoDate("2024-06-17T05:56:48Z").value() + std::chrono::milliseconds(500));
}

// The placeholders of Electron and Tauri feeds, a feed on this machine, a version in a
// download's path and addresses in a binary: GenericUpdaterIntegrationTest.
TEST(ManifestReadersTest, AddressesArePreparedAndCheckedBeforeAnyRequest) {
    EXPECT_EQ(substitutePlaceholders("https://u.test/%7b%7btarget%7d%7d", "1.2", "aarch64"), "https://u.test/darwin");
    EXPECT_EQ(substitutePlaceholders("https://u.test/${process.platform}-${process.arch}?v=%24%7Bapp.getVersion()%7D",
                                     "3", "x86_64"),
              "https://u.test/darwin-x86_64?v=3");
    EXPECT_EQ(addressProblem("https://127.0.0.1/feed"), "points at this machine");
    EXPECT_EQ(addressProblem("https://user:pw@updates.test/"), "carries credentials (\"@\")");
    EXPECT_EQ(addressProblem("file:///etc/passwd"), "not an http or https address");
    EXPECT_FALSE(addressProblem("https://updates.test/latest"));
    EXPECT_FALSE(versionFromDownloadPath("https://e.test/releases/download/latest/App-mac.zip"));
}

TEST(ManifestReadersTest, BadInputFailsAloneWithItsReason) {
    // Aliases of aliases: loaded by reference, and nothing reads past the fields it needs.
    std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x]\n";
    for (char level = 'b'; level <= 'z'; ++level) {
        bomb += std::string(1, level) + ": &" + level + " [";
        for (int i = 0; i < 9; ++i) bomb += std::string(i ? ", *" : "*") + static_cast<char>(level - 1);
        bomb += "]\n";
    }
    bomb += "version: *z\n";
    EXPECT_EQ(errorOf([&] { parseElectronRelease(bomb, "aarch64"); }), "\"version\" is not a text");
    EXPECT_EQ(errorOf([] { parseElectronRelease(std::string(4000, '['), "aarch64"); }), "nested too deeply");
    EXPECT_EQ(errorOf([] { parseElectronRelease(std::string(50 * 1024 * 1024, '#'), "aarch64"); }), "larger than 1024 KB");
    EXPECT_EQ(errorOf([] { parseElectronUpdateConfig("provider: generic\n\turl: https://u.test\n"); })
                  .rfind("not YAML", 0),
              0u);
    ElectronUpdateConfig config = parseElectronUpdateConfig(
        "owner: someone\nrepo: app\nprovider: github\nupdaterCacheDirName: app-updater\nvendorExtra: {a: 1}\n");
    EXPECT_EQ(config.provider, ElectronUpdateProvider::GitHub);
    EXPECT_EQ(config.repo, "app");
    EXPECT_EQ(errorOf([] { parseElectronUpdateConfig("- a list\n"); }), "not a YAML mapping");
    EXPECT_EQ(errorOf([] { parseTauriManifest("{\"version\": 3}", "aarch64"); }), "\"version\" is not a text");

    auto nested = GenericVersionReleaseManifest::read(R"({"versions":[{"tagName":"v9.1","browserDownloadURL":"https://d.test/a.dmg"}]})");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->version, "9.1");
    EXPECT_EQ(nested->downloadURL, "https://d.test/a.dmg");
    EXPECT_EQ(GenericVersionReleaseManifest::read(R"({"name":"0.0.320","pub_date":"2026-01-01"})")->version, "0.0.320");
    EXPECT_FALSE(GenericVersionReleaseManifest::read("not json"));
    EXPECT_FALSE(GenericVersionReleaseManifest::read(R"({"latest": []})"));
}

}  // namespace
}  // namespace vt
