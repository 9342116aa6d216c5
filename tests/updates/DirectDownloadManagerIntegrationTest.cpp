// The publishers' release lookups against a loopback server standing for each publisher.
#include <gtest/gtest.h>

#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/Thrown.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/DirectDownloadManager.hpp"

namespace vt {
namespace {

class DirectDownloadManagerTest : public ::testing::Test {
protected:
    testing::ScopedEnvironment noProxy_{"http_proxy", nullptr};
    testing::ScopedEnvironment noAllProxy_{"all_proxy", nullptr};
    // https: a checksum is only read where nobody on the way can change it.
    testing::LoopbackServer server_{testing::LoopbackServer::Options{.workerThreads = 32, .tls = true}};
    testing::ScopedEnvironment jetBrains_{"VANTREEL_ENDPOINT_JETBRAINS", server_.origin().c_str()};
    testing::ScopedEnvironment studio_{"VANTREEL_ENDPOINT_ANDROID_STUDIO", server_.origin().c_str()};
    testing::ScopedEnvironment brew_{"VANTREEL_ENDPOINT_HOMEBREW_API", (server_.origin() + "/api").c_str()};
    SystemNetworkClient network_{SystemNetworkClient::Options{.caFile = server_.certificatePath()}};

    void serve(const std::string& path, std::string body, int status = 200) {
        testing::LoopbackRoute route;
        route.body = std::move(body);
        route.status = status;
        server_.setRoute(path, route);
    }
};

TEST_F(DirectDownloadManagerTest, JetBrainsReleasesGiveTheFileOfThisProcessorAndItsChecksum) {
    const std::string sum(64, 'a');
    serve("/products/releases", R"({"IIU":[{"date":"2024-01-01","type":"release","version":"2024.1","build":"241.14494",
        "notesLink":"https://example.invalid/notes","downloads":{
        "mac":{"link":"https://download.example.invalid/idea/ideaIU-2024.1.dmg","size":1,"checksumLink":")" +
                                      server_.url("/intel.sha256") + R"("},
        "macM1":{"link":"https://download.example.invalid/idea/ideaIU-2024.1-aarch64.dmg","sha256":")" +
                                      std::string(64, 'B') + R"("}}}]})");
    serve("/intel.sha256", sum + " *ideaIU-2024.1.dmg\n");
    DirectDownloadConfig config{DirectDownloadProvider::JetBrains, "IIU", "release"};

    EXPECT_EQ(DirectDownloadManager(network_, "x86_64").latest(config),
              (DirectDownloadMetadata{"2024.1", "241.14494", "https://download.example.invalid/idea/ideaIU-2024.1.dmg",
                                      "ideaIU-2024.1.dmg", sum, "https://example.invalid/notes", DirectDownloadFileType::Dmg}));
    EXPECT_EQ(server_.requests().front().target, "/products/releases?code=IIU&latest=true&type=release");
    EXPECT_EQ(DirectDownloadManager(network_, "arm64").latest(config).checksum, std::string(64, 'b'));

    // Over plain http, a checksum is not read and a download is not offered.
    serve("/products/releases", R"({"IIU":[{"version":"2024.1","downloads":{"mac":{"link":"https://h/i.dmg",
        "checksumLink":"http://127.0.0.1:9/i.dmg.sha256"}}}]})");
    EXPECT_EQ(DirectDownloadManager(network_, "x86_64").latest(config).checksum, std::nullopt);
    serve("/products/releases", R"({"IIU":[{"version":"2024.1","downloads":{"mac":{"link":"http://h/i.dmg"}}}]})");
    auto error = [&](const std::string& architecture) -> std::string {
        return testing::thrown<DirectDownloadError>([&] { DirectDownloadManager(network_, architecture).latest(config); })
            .value()
            .what();
    };
    EXPECT_EQ(error("x86_64"), "Invalid download address.");
    serve("/products/releases", R"({"IIU":[{"version":"2024.1","downloads":{"mac":{"link":"https://h/i.dmg"}}}]})");
    EXPECT_EQ(error("arm64"), "No compatible arm64 file available for IIU");
    serve("/products/releases", R"({"IIU":[]})");
    EXPECT_EQ(error("arm64"), "No available version was found for this product.");
    serve("/products/releases", "{}", 503);
    EXPECT_THROW(DirectDownloadManager(network_).latest(config), DirectDownloadError);
    // A product code that would change the query is never sent.
    EXPECT_THROW(DirectDownloadManager(network_).latest({DirectDownloadProvider::JetBrains, "IIU&x=1", ""}),
                 DirectDownloadError);
}

TEST_F(DirectDownloadManagerTest, AndroidStudioPageAndHomebrewCaskGiveVersionAddressAndChecksum) {
    const std::string armSum(64, 'c');
    serve("/studio", R"(<table><tr><td><a href="https://redirector.example.invalid/android/studio/install/2024.1.1.11/android-studio-2024.1.1.11-mac.dmg">android-studio-2024.1.1.11-mac.dmg</a></td>
<td>1.2 GB</td><td>)" + std::string(64, 'd') + R"(</td></tr>
<tr><td><a href="https://redirector.example.invalid/android/studio/install/2024.1.1.11/android-studio-2024.1.1.11-mac_arm.dmg">android-studio-2024.1.1.11-mac_arm.dmg</a></td>
<td>1.2 GB</td><td>)" + armSum + "</td></tr></table>");
    DirectDownloadConfig studio{DirectDownloadProvider::GoogleStudio, "AndroidStudio", "stable"};
    DirectDownloadMetadata arm = DirectDownloadManager(network_, "arm64").latest(studio);
    EXPECT_EQ(arm.version, "2024.1.1.11");
    EXPECT_EQ(arm.filename, "android-studio-2024.1.1.11-mac_arm.dmg");
    EXPECT_EQ(arm.checksum, armSum);
    EXPECT_EQ(DirectDownloadManager(network_, "x86_64").latest(studio).checksum, std::string(64, 'd'));

    serve("/api/cask/iterm2.json", testing::corpusFile("homebrew/formulae.brew.sh-data/cask-iterm2.json"));
    DirectDownloadMetadata cask =
        DirectDownloadManager(network_).latest({DirectDownloadProvider::HomebrewCask, "iterm2", ""});
    cask.releaseNotes.reset();
    EXPECT_EQ(cask, (DirectDownloadMetadata{"3.3.2", std::nullopt, "https://iterm2.com/downloads/stable/iTerm2-3_3_2.zip",
                                           "iTerm2-3_3_2.zip", "e36b30bfa480ce7d4eca601b60e0e0e5a8b96f94617b584085e969d65d282b47",
                                           std::nullopt, DirectDownloadFileType::Zip}));

    serve("/api/cask/tool.json", R"({"version":"1.2,345","url":"https://h/tool.pkg","sha256":"no_check"})");
    EXPECT_THROW(DirectDownloadManager(network_).latest({DirectDownloadProvider::HomebrewCask, "tool", ""}),
                 DirectDownloadError);  // an installer package is not a direct install
    serve("/api/cask/tool.json", R"({"version":"1.2,345","url":"https://h/Tool.zip","sha256":"no_check"})");
    DirectDownloadMetadata built = DirectDownloadManager(network_).latest({DirectDownloadProvider::HomebrewCask, "tool", ""});
    EXPECT_EQ(built.version, "1.2");
    EXPECT_EQ(built.buildNumber, "345");
    EXPECT_EQ(built.checksum, std::nullopt);
}

}  // namespace
}  // namespace vt
