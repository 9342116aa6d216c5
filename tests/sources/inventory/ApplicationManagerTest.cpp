// The inventory over bundles built in a temporary folder from real Info.plist files, in XML
// and in binary form.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "system/Endpoints.hpp"
#include "support/Corpus.hpp"
#include "support/TempDir.hpp"
#include "support/BuildPaths.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;

std::string plist(const std::string& name) { return testing::corpusFile("plists/" + name); }

std::string toBinary(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string binary(data, length);
    plist_to_bin_free(data);
    plist_free(root);
    return binary;
}

// An Info.plist with the given keys (string values), for the cases the corpus lacks.
std::string plistWith(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    for (const auto& [key, value] : keys) xml += "<key>" + key + "</key>" + value;
    return xml + "</dict></plist>";
}
std::string text(const std::string& value) { return "<string>" + value + "</string>"; }

class ApplicationManagerTest : public ::testing::Test {
protected:
    std::string bundle(const std::string& path, const std::string& infoPlist) {
        temp_.write(path + "/Contents/Info.plist", infoPlist);
        return temp_.file(path);
    }
    ApplicationManager manager(std::vector<std::string> extra = {}) {
        ApplicationManager::Options options;
        options.fixedRoots = {{temp_.file("Applications"), "Applications", 4}};
        options.metadataCachePath = temp_.file("support/app_metadata_cache.json");
        options.additionalFolders = [extra] { return extra; };
        return ApplicationManager(std::move(options));
    }
    static const Application* named(const std::vector<Application>& apps, const std::string& path) {
        for (const Application& app : apps) {
            if (app.bundlePath == path) return &app;
        }
        return nullptr;
    }
    testing::TempDir temp_;
};

TEST_F(ApplicationManagerTest, ReadsXmlAndBinaryBundlesWithTheirMechanisms) {
    const std::string amethystXml = plist("amethyst-0.14.2b.Info.plist");
    std::string xml = bundle("Applications/Amethyst.app", amethystXml);
    std::string binary = bundle("Applications/Binary/Amethyst.app", toBinary(amethystXml));
    for (const std::string& path : {xml, binary}) {
        auto candidate = readBundle(path);
        ASSERT_TRUE(candidate) << path;
        EXPECT_EQ(candidate->version, "0.14.2b");
        EXPECT_EQ(candidate->buildNumber, "75");
        EXPECT_EQ(candidate->updateMechanism, UpdateMechanism::Sparkle);
        EXPECT_EQ(candidate->sparkleAppcastURL, "https://ianyh.com/amethyst/appcast.xml");
    }
    // The compiled Sparkle helper: literal versions, no feed, no key.
    std::string updater = bundle("Applications/Updater.app", toBinary(plist("sparkle-2.9.1-Updater.app.Info.plist")));
    auto entry = buildInventoryEntry(updater);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->installedVersion, "2.9.1");
    EXPECT_EQ(entry->currentBuildNumber, "2054");
    EXPECT_EQ(entry->minimumSystemVersion, "10.13");
    EXPECT_FALSE(entry->hasSparklePlistKey);
    EXPECT_EQ(readBundle(updater)->updateMechanism, UpdateMechanism::Unknown);

    // DevMateKit alone means Sparkle without a feed; SPUFeedURL comes before SUFeedURL;
    // com.apple. is a system app; no name falls back to the file's. (A receipt wins over a
    // feed: AppsE2ETest.)
    std::string devMate = bundle("Applications/DevMate.app", plistWith({{"DevMateKit", "<dict/>"}}));
    EXPECT_EQ(readBundle(devMate)->updateMechanism, UpdateMechanism::Sparkle);
    EXPECT_EQ(readBundle(devMate)->sparkleAppcastURL, std::nullopt);
    EXPECT_EQ(readBundle(devMate)->name, "DevMate");
    std::string both = bundle("Applications/Both.app", plistWith({{"SUFeedURL", text("https://old")},
                                                                   {"SPUFeedURL", text("https://new")},
                                                                   {"CFBundleIdentifier", text("com.apple.Both")}}));
    EXPECT_EQ(readBundle(both)->sparkleAppcastURL, "https://new");
    EXPECT_TRUE(readBundle(both)->isAppleSystemApp);

    // The inventory entry's bundle contents: frameworks, the Electron and Mozilla hints and a
    // GitHub repository in product.json.
    std::string electron = bundle("Applications/Electron.app",
                                  plistWith({{"SMPrivilegedExecutables", "<dict><key>org.mozilla.updater</key>" +
                                                                             text("x") + "</dict>"}}));
    temp_.makeFolder("Applications/Electron.app/Contents/Frameworks/Squirrel.framework");
    temp_.makeFolder("Applications/Electron.app/Contents/Frameworks/Sparkle.framework");
    temp_.write("Applications/Electron.app/Contents/Resources/app-update.yml", "provider: github\n");
    const std::string repository = Endpoints::url(Service::GitHubWeb, "/owner/repo");
    temp_.write("Applications/Electron.app/Contents/Resources/app/product.json",
                R"({"updateUrl":"https://update.example.test","reportIssueUrl":")" + repository + R"(/issues/new"})");
    auto hints = buildInventoryEntry(electron);
    ASSERT_TRUE(hints);
    EXPECT_TRUE(hints->hasSquirrelFramework && hints->hasSparkleFramework && hints->hasMozillaUpdaterHint);
    EXPECT_EQ(hints->genericUpdateMechanismHint, GenericUpdateMechanism::Electron);
    EXPECT_EQ(hints->genericUpdateURLHint, "https://update.example.test");
    EXPECT_EQ(hints->genericReleasePageURLHint, repository + "/releases");
}

TEST_F(ApplicationManagerTest, BadInputIsSkippedOrLeftEmptyAndTheScanGoesOn) {
    LogCapture log;
    const std::string good = plist("amethyst-0.14.2b.Info.plist");
    bundle("Applications/Good.app", good);
    bundle("Applications/Truncated.app", good.substr(0, good.size() / 2));
    bundle("Applications/TruncatedBinary.app", toBinary(good).substr(0, 60));
    bundle("Applications/Garbage.app", std::string("bplist00\xff\xfe\x00\x01garbage", 20));
    bundle("Applications/Huge.app", "<?xml version=\"1.0\"?>" + std::string(kMaximumInfoPlistBytes + 1, ' '));
    temp_.makeFolder("Applications/NoPlist.app/Contents");
    temp_.makeFolder("Applications/Fifo.app/Contents");
    ASSERT_EQ(::mkfifo(temp_.file("Applications/Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
    std::string wrongTypes = bundle("Applications/Types.app", plistWith({{"CFBundleIdentifier", "<integer>7</integer>"},
                                                                         {"CFBundleShortVersionString", "<true/>"},
                                                                         {"CFBundleName", text("Line\nBreak")}}));
    std::string invalidName = bundle(std::string("Applications/Bad\xff.app"), good);
    std::string newline = bundle("Applications/New\nLine.app", good);

    std::vector<Application> apps = manager().scanApplications();
    EXPECT_EQ(apps.size(), 3u);  // Good, Types, and the one whose folder name has a line break
    const Application* types = named(apps, wrongTypes);
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->bundleIdentifier, "");
    EXPECT_EQ(types->version, "");
    EXPECT_EQ(types->name, "Line\nBreak");
    EXPECT_NE(named(apps, newline), nullptr);
    EXPECT_EQ(named(apps, invalidName), nullptr);
    for (const char* line : {"CFBundleIdentifier is not a string, left empty", "Truncated.app: Info.plist is not a property list",
                             "TruncatedBinary.app: Info.plist is not a property list",
                             "Garbage.app: Info.plist is not a property list", "Huge.app: Info.plist larger than 4 MB",
                             "Fifo.app: Info.plist not a regular file", "its path is not valid UTF-8"})
        EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_FALSE(log.contains("NoPlist.app"));  // not an application: silent

    // A binary list whose dictionary keys the library aborts on when their text is fetched.
    auto fuzzed = readFile(vt::testing::sourceDir() + "/tests/sources/inputs/key-length-mismatch.bplist");
    ASSERT_TRUE(fuzzed);
    auto survived = readInfoPlist(*fuzzed);
    ASSERT_TRUE(survived);
    EXPECT_EQ(survived->bundleIdentifier, "org.sparkle-project.Sparkle");
    EXPECT_EQ(survived->shortVersion, "2.6.4");

    if (::geteuid() != 0) {  // root reads everything
        fs::permissions(temp_.file("Applications/Good.app"), fs::perms::none);
        EXPECT_EQ(manager().scanApplications().size(), 2u);
        EXPECT_TRUE(log.contains("Good.app: Info.plist Permission denied"));
        fs::permissions(temp_.file("Applications/Good.app"), fs::perms::owner_all);
    }
}

TEST_F(ApplicationManagerTest, WalksEachRootOnceWithoutEnteringBundlesOrFollowingLinks) {
    const std::string xml = plist("amethyst-0.14.2b.Info.plist");
    std::string top = bundle("Applications/Top.app", xml);
    bundle("Applications/Top.app/Contents/Helpers/Inner.app", xml);  // inside a bundle
    bundle("Applications/a/b/c/Deep.app", xml);                     // level 4: found
    bundle("Applications/a/b/c/d/TooDeep.app", xml);                // level 5: beyond the depth
    bundle("Applications/MobileSync/Backup.app", xml);
    fs::create_directory_symlink(temp_.file("Applications"), temp_.file("Applications/a/loop"));
    fs::create_directory_symlink(top, temp_.file("Applications/Linked.app"));
    std::string extra = bundle("Extra/Own.app", xml);

    // The root again (with a trailing slash and through a link), and a folder of its own.
    fs::create_directory_symlink(temp_.file("Applications"), temp_.file("again"));
    ApplicationManager apps = manager({temp_.file("Applications") + "/", temp_.file("again"), temp_.file("Extra")});
    ASSERT_EQ(apps.scanRoots().size(), 2u);
    std::vector<Application> found = apps.scanApplications();
    std::set<std::string> paths;
    for (const Application& app : found) paths.insert(app.bundlePath);
    EXPECT_EQ(paths, (std::set<std::string>{top, temp_.file("Applications/a/b/c/Deep.app"),
                                            temp_.file("Applications/Linked.app"), extra}));
    EXPECT_EQ(found.size(), paths.size());
    auto diagnostics = apps.scanDiagnostics();
    ASSERT_TRUE(diagnostics);
    ASSERT_EQ(diagnostics->pathSummaries.size(), 2u);
    EXPECT_EQ(diagnostics->pathSummaries[0].symlinksFollowed, 2);
    EXPECT_EQ(diagnostics->pathSummaries[0].discoveredApplications, 3);

    // A bundle the walk cannot reach any more (its folder now too deep) is kept from the last
    // list while it exists; one removed is dropped.
    fs::rename(temp_.file("Applications/a/b/c/Deep.app"), temp_.file("Applications/a/b/c/d/Deep.app"));
    std::vector<Application> previous = found;
    for (Application& app : previous) {
        if (app.bundlePath == temp_.file("Applications/a/b/c/Deep.app")) app.bundlePath = temp_.file("Applications/a/b/c/d/Deep.app");
    }
    previous.push_back(previous.front());
    previous.back().bundlePath = temp_.file("Applications/Gone.app");
    apps.restoreApplications(previous, std::nullopt);
    LogCapture log;
    std::vector<Application> again = apps.scanApplications();
    EXPECT_NE(named(again, temp_.file("Applications/a/b/c/d/Deep.app")), nullptr);
    EXPECT_EQ(named(again, temp_.file("Applications/Gone.app")), nullptr);
    EXPECT_TRUE(log.contains("The recursive fallback recovered 1 apps from the previous scan"));
}

TEST_F(ApplicationManagerTest, MetadataCacheIsReusedUntilTheBundleChanges) {
    std::string path = bundle("Applications/Amethyst.app", plist("amethyst-0.14.2b.Info.plist"));
    std::string gone = bundle("Applications/Gone.app", plist("amethyst-0.14.2b.Info.plist"));
    const std::string cacheFile = temp_.file("support/app_metadata_cache.json");
    {
        LogCapture log;
        ApplicationManager first = manager();
        first.scanApplications();
        first.waitForPendingWrites();
        EXPECT_TRUE(log.contains("No app metadata cache found: full scan"));
        EXPECT_TRUE(log.contains("Saved the app metadata cache: 2 entries"));
    }
    // A name only the cache holds shows that an unchanged bundle is not read again.
    Json cache = *parseJson(*readFile(cacheFile));
    for (Json& entry : cache["entries"]) entry["name"] = "From cache";
    writeFileAtomically(cacheFile, dumpJson(cache));
    fs::remove_all(gone);
    LogCapture log;
    ApplicationManager second = manager();
    EXPECT_EQ(second.scanApplications().at(0).name, "From cache");
    second.waitForPendingWrites();
    EXPECT_TRUE(log.contains("Loaded the app metadata cache: 2 entries"));
    EXPECT_TRUE(log.contains("Cleaned 1 stale cache entries"));
    EXPECT_TRUE(log.contains("Saved the app metadata cache: 1 entries"));

    // Rewritten with a new version: read again.
    temp_.write("Applications/Amethyst.app/Contents/Info.plist",
                plistWith({{"CFBundleName", text("Amethyst")}, {"CFBundleShortVersionString", text("0.15")}}));
    std::vector<Application> changed = second.scanApplications();
    EXPECT_EQ(changed.at(0).name, "Amethyst");
    EXPECT_EQ(changed.at(0).version, "0.15");

    second.waitForPendingWrites();
    writeFileAtomically(cacheFile, "{\"entries\": [{\"path\": 3}]}");
    EXPECT_EQ(manager().scanApplications().size(), 1u);
    EXPECT_TRUE(log.contains("Failed to load the app metadata cache: "));
}

TEST_F(ApplicationManagerTest, ClassifiesElectronAndTauriBundles) {
    bundle("Applications/Electron.app", plistWith({{"CFBundleIdentifier", text("test.electron")}}));
    temp_.makeFolder("Applications/Electron.app/Contents/Frameworks/Electron Framework.framework");
    bundle("Applications/Tauri.app",
           plistWith({{"CFBundleIdentifier", text("test.tauri")}, {"CFBundleExecutable", text("tauri-app")}}));
    temp_.write("Applications/Tauri.app/Contents/MacOS/tauri-app",
                std::string(100000, '\0') + "/registry/src/tauri-runtime-wry-2.1.0/src/lib.rs");
    bundle("Applications/Plain.app",
           plistWith({{"CFBundleIdentifier", text("test.plain")}, {"CFBundleExecutable", text("plain")}}));
    temp_.write("Applications/Plain.app/Contents/MacOS/plain", std::string(1000, 'x'));
    LogCapture log;
    ApplicationManager apps = manager();
    apps.scanApplications();
    EXPECT_EQ(apps.electronBundleIdentifiers(), std::set<std::string>{"test.electron"});
    EXPECT_EQ(apps.tauriBundleIdentifiers(), std::set<std::string>{"test.tauri"});
    EXPECT_TRUE(log.contains("Framework classification: 1 Tauri, 1 Electron"));
}

}  // namespace
}  // namespace vt
