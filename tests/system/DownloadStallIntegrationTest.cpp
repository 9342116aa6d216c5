// A download bounded by stalls: a server that goes silent fails it, a slow but steady one
// finishes even when the whole transfer lasts longer than the stall limit.
#include <chrono>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

TEST(DownloadStallTest, SilenceLongerThanTheLimitFailsWhileASteadySlowTransferCompletes) {
    testing::ScopedEnvironment noProxy{"http_proxy", nullptr};
    testing::ScopedEnvironment noAllProxy{"all_proxy", nullptr};
    testing::LoopbackServer server;
    testing::TempDir folder("vt-stall");
    SystemNetworkClient client;

    const std::string steady(1800, 's');  // 3.6 s in all, a piece every 200 ms
    server.setRoute("/steady", {.body = steady, .chunkSize = 100, .chunkDelay = 200ms});
    // One piece, then nothing for 6 s.
    server.setRoute("/silent", {.body = std::string(200, 'x'), .chunkSize = 100, .chunkDelay = 6000ms});

    HttpRequest request;
    request.timeoutSeconds = 1;  // the connection only, once stalls bound the transfer
    // curl measures the speed once a second: a one-second limit could trip before the first
    // measurement of a steady transfer.
    request.stallTimeoutSeconds = 2;
    request.url = server.url("/steady");
    const auto start = std::chrono::steady_clock::now();
    client.download(request, folder.file("steady.bin"));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(readFile(folder.file("steady.bin")), steady);

    request.url = server.url("/silent");
    EXPECT_THAT([&] { client.download(request, folder.file("silent.bin")); },
                ::testing::Throws<NetworkError>(::testing::Property(&NetworkError::kind, NetworkError::Kind::Timeout)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_FALSE(std::filesystem::exists(folder.file("silent.bin")));
    server.stop();
}

}  // namespace
}  // namespace vt
