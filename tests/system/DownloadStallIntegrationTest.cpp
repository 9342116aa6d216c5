// A download bounded by stalls: a server that goes silent fails it, a slow but steady one
// finishes even when the whole transfer lasts longer than the stall limit.
#include <chrono>
#include <filesystem>

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

    testing::LoopbackRoute steady;  // 3.6 s in all, a piece every 200 ms
    steady.body = std::string(1800, 's');
    steady.chunkSize = 100;
    steady.chunkDelay = 200ms;
    server.setRoute("/steady", steady);
    testing::LoopbackRoute silent;  // one piece, then nothing for 6 s
    silent.body = std::string(200, 'x');
    silent.chunkSize = 100;
    silent.chunkDelay = 6000ms;
    server.setRoute("/silent", silent);

    HttpRequest request;
    request.timeoutSeconds = 1;  // the connection only, once stalls bound the transfer
    // curl measures the speed once a second: a one-second limit could trip before the first
    // measurement of a steady transfer.
    request.stallTimeoutSeconds = 2;
    request.url = server.url("/steady");
    const auto start = std::chrono::steady_clock::now();
    client.download(request, folder.file("steady.bin"));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(readFile(folder.file("steady.bin")), steady.body);

    request.url = server.url("/silent");
    try {
        client.download(request, folder.file("silent.bin"));
        ADD_FAILURE() << "a silent server did not fail the download";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::Timeout) << error.cause();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_FALSE(std::filesystem::exists(folder.file("silent.bin")));
    server.stop();
}

}  // namespace
}  // namespace vt
