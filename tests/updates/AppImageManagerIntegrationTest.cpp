// AppImages built for real, checked and updated against a loopback GitHub API and zsync
// server through the real network client: what is offered, what is installed, and that every
// refusal leaves the installed file byte for byte as it was.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "model/PendingUpdate.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/FolderSnapshot.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/appimage/AppImageManager.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::AppImageSpec;

const Package* named(const std::vector<Package>& packages, const std::string& name) {
    for (const Package& package : packages) {
        if (package.name == name) return &package;
    }
    return nullptr;
}

class AppImageUpdateTest : public ::testing::Test {
protected:
    testing::LoopbackServer server;
    testing::ScopedEnvironment api{"VANTREEL_ENDPOINT_GITHUB_API", server.origin().c_str()};
    testing::TempDir home{"vt-appimage-home"};
    testing::TempDir opt{"vt-appimage-opt"};
    testing::TempDir proc{"vt-appimage-proc"};
    SystemNetworkClient network;
    SystemFileSystemManager files;
    std::string editor, viewer;
    std::string newEditor;  // what the release serves
    bool confirm = false;

    void SetUp() override {
        editor = testing::buildAppImage(
            home.file("Applications/Editor.AppImage"),
            AppImageSpec{.name = "Editor", .version = "1.0.0",
                         .updateInformation = "gh-releases-zsync|acme|editor|latest|Editor-*.AppImage.zsync",
                         .desktopFile = "org.acme.Editor.desktop"});
        ::chmod(editor.c_str(), 0750);
        viewer = testing::buildAppImage(
            home.file("Applications/Viewer.AppImage"),
            AppImageSpec{.name = "Viewer", .version = "2.0",
                         .updateInformation = "zsync|" + server.url("/viewer/Viewer-latest-x86_64.AppImage.zsync")});
        testing::buildAppImage(home.file("Applications/Plain.AppImage"), AppImageSpec{.name = "Plain"});
        newEditor = testing::appImageBytes(AppImageSpec{.name = "Editor", .version = "1.1.0",
                                                        .desktopFile = "org.acme.Editor.desktop", .payload = "new"});
        release("v1.1.0", newEditor, newEditor);
        const std::string newViewer = testing::appImageBytes(AppImageSpec{.name = "Viewer", .version = "2.1", .payload = "new"});
        server.setRoute("/viewer/Viewer-latest-x86_64.AppImage.zsync",
                        {.body = zsync("Viewer-latest-x86_64.AppImage", newViewer), .contentType = "application/octet-stream"});
        server.setRoute("/viewer/Viewer-latest-x86_64.AppImage", {.body = newViewer, .contentType = "application/octet-stream"});
    }

    // A zsync control file for `bytes` named `name`, the file next to it.
    static std::string zsync(const std::string& name, const std::string& bytes) {
        testing::TempDir dir("vt-zsync");
        const std::string sha1 = testing::sha1Of(dir.write("f", bytes));
        return "zsync: 0.6.2\nFilename: " + name + "\nMTime: Tue, 01 Dec 2026 10:00:00 +0000\nBlocksize: 2048\nLength: " +
               std::to_string(bytes.size()) + "\nHash-Lengths: 2,2,5\nURL: " + name + "\nSHA-1: " + sha1 + "\n\n\x01\x02";
    }

    // The release `tag`: its control file describes `described`, its download serves `served`.
    void release(const std::string& tag, const std::string& described, const std::string& served,
                 std::optional<std::size_t> cutAfter = std::nullopt) {
        const std::string version = tag.substr(1);
        const std::string file = "Editor-" + version + "-x86_64.AppImage";
        Json body = {{"tag_name", tag},
                     {"html_url", "https://example.invalid"},
                     {"assets",
                      {{{"name", "Editor-" + version + "-aarch64.AppImage.zsync"},
                        {"browser_download_url", server.url("/dl/arm.zsync")}},
                       {{"name", file + ".zsync"}, {"browser_download_url", server.url("/dl/" + file + ".zsync")}},
                       {{"name", file}, {"browser_download_url", server.url("/dl/" + file)}}}}};
        server.setRoute("/repos/acme/editor/releases/latest", {.body = body.dump()});
        server.setRoute("/dl/" + file + ".zsync", {.body = zsync(file, described), .contentType = "application/octet-stream"});
        server.setRoute("/dl/" + file,
                        {.body = served, .contentType = "application/octet-stream", .closeAfterBytes = cutAfter});
    }

    std::unique_ptr<AppImageManager> manager() {
        AppImageManager::Options options;
        options.scanner = {.home = home.path(), .optFolder = opt.path(), .additionalFolders = {}};
        options.checker.network = &network;
        options.checker.gitHub = std::make_shared<GitHubReleasesManager>(GitHubReleasesManager::Options{.network = &network});
        options.checker.hashes = std::make_shared<AppImageHashCache>("");
        options.checker.architecture = "x86_64";
        options.confirmRunning = [this](const std::string&) { return confirm; };
        options.procFolder = proc.path();
        auto made = std::make_unique<AppImageManager>(CommandRunner::shared(), files, std::move(options));
        made->setNetwork(network);
        return made;
    }

    // Scans and returns the pending update of `name`.
    Package pending(AppImageManager& appImages, const std::string& name) {
        appImages.listInstalled({});
        std::vector<Package> outdated = appImages.checkOutdated({});
        const Package* found = named(outdated, name);
        if (found == nullptr) throw std::runtime_error(name + " has no update");
        return *found;
    }

    // Runs the update, which must be refused with a message containing `expected`, and checks
    // that nothing in the folder changed.
    void expectRefused(AppImageManager& appImages, const Package& package, const std::string& expected) {
        const auto before = testing::folderSnapshot(home.file("Applications"));
        const auto error = testing::thrown<AppImageUpdateError>([&] { appImages.update(package, {}); });
        EXPECT_EQ(testing::folderSnapshot(home.file("Applications")), before);
        EXPECT_NE(std::string(error.value().what()).find(expected), std::string::npos) << error->what();
    }
};

TEST_F(AppImageUpdateTest, ScanOffersTheTwoUpdatesAndAnUpdateInstallsTheVerifiedFile) {
    auto appImages = manager();
    std::vector<Package> installed = appImages->listInstalled({});
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(named(installed, "Plain")->description, "no update information");

    std::vector<Package> outdated = appImages->checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    const Package* editorUpdate = named(outdated, "Editor");  // its versions: AppImageE2ETest
    ASSERT_NE(editorUpdate, nullptr);
    // The viewer's control file names no version: another file there is an update whose
    // version only the download will tell.
    const Package* viewerUpdate = named(outdated, "Viewer");
    ASSERT_NE(viewerUpdate, nullptr);
    EXPECT_EQ(viewerUpdate->version, "2.0");
    EXPECT_TRUE(hasPendingUpdate(*viewerUpdate, false));
    EXPECT_EQ(appImages->errorMessage(), std::nullopt);
    // The control file of the x86_64 build was read, never the arm one.
    EXPECT_EQ(server.requestCount("/dl/arm.zsync"), 0u);

    appImages->update(*editorUpdate, {});
    EXPECT_EQ(testing::sha1Of(editor), testing::sha1Of(home.write("expected", newEditor)));
    struct stat info {};
    ASSERT_EQ(::stat(editor.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);  // the old file's mode
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(home.file("Applications"))) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Editor.AppImage", "Plain.AppImage", "Viewer.AppImage"}));

    appImages->update(*viewerUpdate, {});
    EXPECT_EQ(readAppImage(viewer).version, "2.1");
    // Both are current now.
    appImages->listInstalled({});
    EXPECT_TRUE(appImages->checkOutdated({}).empty());
}

TEST_F(AppImageUpdateTest, ATamperedCutOffOlderOrForeignDownloadChangesNothing) {
    auto appImages = manager();
    const Package update = pending(*appImages, "Editor");

    // (A file that is not the one the control file describes: AppImageE2ETest.)
    // The connection drops halfway.
    release("v1.1.0", newEditor, newEditor, newEditor.size() / 2);
    expectRefused(*appImages, update, "download failed");

    // The release is named 1.1.0 and its checksum matches, but the image inside is 0.9.
    const std::string older = testing::appImageBytes(
        AppImageSpec{.name = "Editor", .version = "0.9", .desktopFile = "org.acme.Editor.desktop"});
    release("v1.1.0", older, older);
    expectRefused(*appImages, update, "older than the installed 1.0.0");

    // Another application altogether.
    const std::string foreign = testing::appImageBytes(AppImageSpec{.name = "Miner", .version = "1.1.0", .desktopFile = "miner.desktop"});
    release("v1.1.0", foreign, foreign);
    expectRefused(*appImages, update, "another application");

    // The release moved on since the scan: not the version the user was shown.
    release("v1.2.0", newEditor, newEditor);
    expectRefused(*appImages, update, "scan again");

    // An older release is neither offered nor installed.
    release("v0.9.0", older, older);
    appImages->listInstalled({});
    EXPECT_EQ(named(appImages->checkOutdated({}), "Editor"), nullptr);
    Package backwards = update;
    backwards.latestVersion = "0.9.0";
    expectRefused(*appImages, backwards, "already up to date");
}

TEST_F(AppImageUpdateTest, ARunningAppImageIsReplacedOnlyWhenConfirmed) {
    auto appImages = manager();
    const Package update = pending(*appImages, "Editor");
    fs::create_directories(proc.file("4242"));
    fs::create_symlink(editor, proc.file("4242/exe"));
    fs::create_directories(proc.file("4243"));
    fs::create_symlink("/usr/bin/true", proc.file("4243/exe"));
    ASSERT_EQ(appImages->runningUses(editor).size(), 1u);
    EXPECT_TRUE(appImages->runningUses(viewer).empty());
    expectRefused(*appImages, update, "process 4242");

    confirm = true;
    appImages->update(update, {});
    EXPECT_EQ(readAppImage(editor).version, "1.1.0");
}

}  // namespace
}  // namespace vt
