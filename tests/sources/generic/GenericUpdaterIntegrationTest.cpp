#include <gtest/gtest.h>

#include <algorithm>

#include "base/Log.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

// Update addresses on this machine are refused by design, so the feeds' public host name is
// sent to the loopback server here: the one thing a test on an offline machine cannot do.
class PublicHostClient final : public NetworkClient {
public:
    explicit PublicHostClient(std::string origin) : origin_(std::move(origin)) {}
    HttpResponse send(const HttpRequest& request, std::stop_token stop) override {
        HttpRequest sent = request;
        if (sent.url.starts_with(kHost)) sent.url = origin_ + sent.url.substr(kHost.size());
        HttpResponse response = network_.send(sent, stop);
        if (response.url.starts_with(origin_)) response.url = kHost + response.url.substr(origin_.size());
        return response;
    }
    HttpResponse download(const HttpRequest& request, const std::string& path, const DownloadProgressHandler& progress,
                          std::stop_token stop) override {
        return network_.download(request, path, progress, stop);
    }
    static inline const std::string kHost = "http://updates.test";

private:
    std::string origin_;
    SystemNetworkClient network_;
};

std::string bundle(const testing::TempDir& folder, const std::string& name, const std::string& identifier,
                   const std::string& executable = "App") {
    const std::string path = folder.makeFolder(name + ".app");
    folder.write(name + ".app/Contents/Info.plist",
                 "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                     identifier + "</string><key>CFBundleShortVersionString</key><string>1.0.0</string>"
                     "<key>CFBundleExecutable</key><string>" + executable + "</string></dict></plist>");
    return path;
}

Application record(const std::string& path, const std::string& identifier) {
    return {.name = identifier, .bundlePath = path, .version = "1.0.0", .bundleIdentifier = identifier};
}

TEST(GenericUpdaterIntegrationTest, EmbeddedElectronAndTauriUpdatersFindTheirManifests) {
    testing::LoopbackServer server;
    server.setRoute("/feed/aarch64/latest-mac.yml", {.body = testing::corpusFile("electron/flyenv.latest-mac.yml"),
                                                     .contentType = "text/yaml"});
    server.setRoute("/tauri/darwin/aarch64/1.0.0/latest.json",
                    {.body = testing::corpusFile("tauri/ai-limits.updater-latest.json")});
    // No channel file: the manager falls back to latest.yml, whose version is in the path only.
    server.setRoute("/old/latest.yml", {.body = "files:\n  - url: App.dmg.blockmap\npath: "
                                                "https://updates.test/releases/download/v2.3.1/App-mac.zip\n",
                                        .contentType = "text/yaml"});
    testing::TempDir folder;
    const std::string electron = bundle(folder, "Fly", "dev.fly.app");
    folder.write("Fly.app/Contents/Resources/app-update.yml",
                 "provider: generic\nurl: http://updates.test/feed/%7B%7Barch%7D%7D\nupdaterCacheDirName: fly\n");
    const std::string tauri = bundle(folder, "Limits", "dev.limits.app", "limits");
    folder.write("Limits.app/Contents/MacOS/limits",
                 std::string("\x7f" "ELF") + '\0' + "tauri-runtime-2.0" + '\0' +
                     "http://updates.test/tauri/{{target}}/{{arch}}/{{current_version}}/latest.json" + '\0');
    const std::string old = bundle(folder, "Old", "dev.old.app");
    folder.write("Old.app/Contents/Resources/app-update.yml", "provider: generic\nurl: http://updates.test/old\nchannel: beta\n");

    PublicHostClient network(server.origin());
    GenericUpdaterManager manager(network, {.architecture = "aarch64"});
    LogCapture log;
    auto fly = manager.checkApplication(record(electron, "dev.fly.app"));
    ASSERT_TRUE(fly);
    EXPECT_EQ(fly->latestVersion, "4.18.1");
    EXPECT_EQ(fly->downloadURL, "http://updates.test/feed/aarch64/FlyEnv-4.18.1-arm64.dmg");
    EXPECT_EQ(fly->resolutionReason, "Embedded Electron app-update.yml");
    EXPECT_EQ(fly->resolutionSource, AppRulePrimarySource::Electron);
    EXPECT_TRUE(log.contains("Electron version for Fly: 4.18.1"));
    const auto sent = server.requests().front();
    EXPECT_EQ(sent.headers.get("Accept"), "application/x-yaml, text/yaml, text/plain;q=0.9, */*;q=0.8");
    EXPECT_EQ(sent.headers.get("User-Agent"), "Vantreel/1.0");
    // Answered from the five-minute cache, also for a second copy elsewhere, which keeps its
    // own path in the list of this round.
    testing::TempDir elsewhere;
    const std::string copy = bundle(elsewhere, "Fly", "dev.fly.app");
    elsewhere.write("Fly.app/Contents/Resources/app-update.yml",
                    "provider: generic\nurl: http://updates.test/feed/%7B%7Barch%7D%7D\n");
    EXPECT_EQ(manager.checkApplication(record(copy, "dev.fly.app"))->latestVersion, "4.18.1");
    EXPECT_EQ(server.requestCount("/feed/aarch64/latest-mac.yml"), 1u);
    std::vector<std::string> listed;
    for (const GenericUpdaterApp& app : manager.apps()) listed.push_back(app.bundlePath);
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected{electron, copy};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);

    auto limits = manager.checkApplication(record(tauri, "dev.limits.app"));
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->latestVersion, "0.5.0");
    EXPECT_NE(limits->downloadURL.value_or("").find("macos-arm64"), std::string::npos);
    EXPECT_EQ(limits->resolutionReason, "Embedded Tauri updater endpoint");

    auto older = manager.checkApplication(record(old, "dev.old.app"));
    ASSERT_TRUE(older);
    EXPECT_EQ(older->latestVersion, "2.3.1");
    EXPECT_EQ(server.requestCount("/old/beta-mac.yml"), 1u);
}

TEST(GenericUpdaterIntegrationTest, RefusedAddressesAndFailingFeedsLeaveTheApplicationUnresolved) {
    testing::LoopbackServer server;
    server.setRoute("/html/latest-mac.yml", {.body = "<!DOCTYPE html><html></html>", .contentType = "text/html"});
    server.setRoute("/bucket/latest-mac.yml", {.status = 404, .body = "<Error><Code>NoSuchKey</Code></Error>"});
    server.setRoute("/bucket/latest.yml", {.status = 403, .body = "<Error><Code>AccessDenied</Code></Error>"});
    server.setRoute("/huge/latest-mac.yml", {.body = std::string(50 * 1024 * 1024, 'a'), .contentType = "text/yaml"});
    testing::TempDir folder;
    auto electronAt = [&folder](const std::string& name, const std::string& yaml) {
        std::string path = bundle(folder, name, "dev." + name);
        folder.write(name + ".app/Contents/Resources/app-update.yml", yaml);
        return path;
    };
    const std::string local = electronAt("Local", "provider: generic\nurl: http://localhost:" +
                                                      std::to_string(server.port()) + "/html\n");
    const std::string html = electronAt("Html", "provider: generic\nurl: http://updates.test/html\n");
    const std::string bucket = electronAt("Bucket", "provider: s3\nurl: http://updates.test/bucket\n");
    const std::string huge = electronAt("Huge", "provider: generic\nurl: http://updates.test/huge\n");
    const std::string tabs = electronAt("Tabs", "provider: generic\n\turl: http://updates.test/html\n");
    const std::string product = bundle(folder, "Code", "dev.code");
    folder.write("Code.app/Contents/Resources/app/product.json", "{\"updateUrl\": ");

    PublicHostClient network(server.origin());
    GenericUpdaterManager manager(network, {.architecture = "x86_64"});
    LogCapture log;
    EXPECT_FALSE(manager.checkApplication(record(local, "dev.Local")));
    EXPECT_EQ(manager.invalidGenericUpdaterURLCount(), 1);
    EXPECT_TRUE(log.contains("Invalid generic updater address for Local"));
    EXPECT_FALSE(manager.checkApplication(record(html, "dev.Html")));
    EXPECT_TRUE(log.contains("latest-mac.yml returned HTML (not YAML) for Html: http://updates.test/html/latest-mac.yml"));
    EXPECT_FALSE(manager.checkApplication(record(bucket, "dev.Bucket")));
    EXPECT_TRUE(log.contains("latest-mac.yml returned HTTP 404 for Bucket: http://updates.test/bucket"));
    EXPECT_FALSE(manager.checkApplication(record(huge, "dev.Huge")));
    EXPECT_TRUE(log.contains("Electron manifest unavailable for Huge"));
    EXPECT_FALSE(manager.checkApplication(record(tabs, "dev.Tabs")));
    EXPECT_TRUE(log.contains("app-update.yml of " + tabs + " cannot be read: not YAML"));
    EXPECT_FALSE(manager.checkApplication(record(product, "dev.code")));
    EXPECT_TRUE(log.contains("product.json is not a JSON object"));
    // Only the HTML, bucket and huge feeds were asked; the refused address never was.
    EXPECT_EQ(server.requestCount("/html/latest-mac.yml"), 1u);
    // (A vendor's own service answering: GenericUpdaterE2E.)
}

}  // namespace
}  // namespace vt
