// Manual downloads against a loopback server: naming, hostile headers, HTTP errors, bodies
// longer or shorter than announced, persistence across runs, cancellation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "settings/DefaultsStore.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/DownloadFileName.hpp"
#include "updates/ManualUpdateCoordinator.hpp"

namespace vt {
namespace {

using testing::LoopbackRoute;

// Answers every connection with the same bytes, whatever HTTP says they should be.
class RawHttpServer {
public:
    explicit RawHttpServer(std::string answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    void serve() {
        while (!stop_) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) continue;
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::read(client, buffer, sizeof(buffer));
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            std::string answer = answer_;
            if (request.starts_with("HEAD")) answer = answer.substr(0, answer.find("\r\n\r\n") + 4);
            ssize_t written = ::write(client, answer.data(), answer.size());
            (void)written;
            ::shutdown(client, SHUT_RDWR);
            ::close(client);
        }
    }
    std::string answer_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ManualUpdateCoordinatorTest : public ::testing::Test {
protected:
    testing::ScopedEnvironment noProxy_{"http_proxy", nullptr};
    testing::ScopedEnvironment noAllProxy_{"all_proxy", nullptr};
    testing::TempDir root_{"vt-manual-download"};
    std::string folder_ = root_.path() + "/Downloads";
    DefaultsStore defaults_{root_.file("defaults.json")};
    SystemNetworkClient network_;
    testing::LoopbackServer server_;

    ManualUpdateCoordinator coordinator() {
        return ManualUpdateCoordinator(ManualUpdateCoordinator::Options{
            .network = &network_, .defaults = &defaults_, .downloadFolder = folder_, .updateViewGeneration = [] {
                return std::optional<int>(7);
            }});
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string serve(const std::string& path, const std::string& body, const std::string& type,
                      std::vector<std::pair<std::string, std::string>> headers = {}) {
        LoopbackRoute route;
        route.body = body;
        route.contentType = type;
        route.headers = std::move(headers);
        server_.setRoute(path, route);
        return server_.url(path);
    }
};

TEST_F(ManualUpdateCoordinatorTest, EncodedNameWinsProgressIsReportedAndCompletedDownloadsOutliveTheCoordinator) {
    const std::string body(200000, 'd');
    const std::string url = serve("/get", body, "application/octet-stream",
                                  {{"Content-Disposition",
                                    R"(attachment; filename="plain.dmg"; filename*=UTF-8''Caf%C3%A9%20App.dmg)"}});
    ManualUpdateItem item{"Café App", "2.0", url, std::nullopt};
    const std::string key = ManualUpdateCoordinator::itemKey(item);
    LogCapture log;
    std::vector<ManualUpdateProgress> seen;
    {
        ManualUpdateCoordinator first = coordinator();
        CompletedManualDownload done = first.download(item, [&](const ManualUpdateProgress& p) { seen.push_back(p); });
        EXPECT_EQ(done.path(), folder_ + "/Café App.dmg");
        EXPECT_EQ(readFile(done.path()), body);
        EXPECT_EQ(done.updateViewGeneration, 7);
        // Another version under the same name does not overwrite it.
        ManualUpdateItem next{"Café App", "2.1", url, std::nullopt};
        EXPECT_EQ(first.download(next).path(), folder_ + "/Café App (2).dmg");
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"Café App (2).dmg", "Café App.dmg"}));
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().phase, "manual_update.phase.preparing");
    EXPECT_EQ(seen[1].sizeBytes, body.size());  // from the HEAD, before any byte
    EXPECT_EQ(seen.back().phase, "manual_update.phase.cleaning");
    EXPECT_EQ(server_.requests().front().method, "HEAD");
    EXPECT_TRUE(log.contains("Downloaded Café App: final address " + url +
                             ", content type application/octet-stream, 200000 bytes"));

    // A new run (a new store on the same file) gives the item's file again without fetching it.
    DefaultsStore reread(defaults_.path());
    const Json stored = *reread.object(ManualUpdateCoordinator::kCompletedDownloadsKey);
    EXPECT_EQ(stored[key]["version"], "2.0");
    EXPECT_TRUE(stored[key]["fileURL"].get<std::string>().ends_with("Caf%C3%A9%20App.dmg"));
    ManualUpdateCoordinator second(
        ManualUpdateCoordinator::Options{.network = &network_, .defaults = &reread, .downloadFolder = folder_});
    const std::size_t requests = server_.requests().size();
    EXPECT_EQ(second.download(item).path(), folder_ + "/Café App.dmg");
    EXPECT_EQ(server_.requests().size(), requests);
    // Once the file is gone, it is fetched again.
    std::filesystem::remove(folder_ + "/Café App.dmg");
    EXPECT_EQ(second.download(item).path(), folder_ + "/Café App.dmg");
    EXPECT_GT(server_.requests().size(), requests);
}

TEST_F(ManualUpdateCoordinatorTest, AFileThatIsNotThePublishedOneIsNeverKept) {
    const std::string body = "the release";
    const std::string url = serve("/Tool.zip", body, "application/zip");
    ManualUpdateCoordinator downloads = coordinator();
    ManualUpdateItem tampered{"Tool", "2.0", url, std::nullopt, std::string(64, '0')};
    try {
        downloads.download(tampered);
        ADD_FAILURE() << "kept a file whose checksum does not match";
    } catch (const DirectDownloadError& error) {
        EXPECT_EQ(error.kind(), DirectDownloadError::Kind::ChecksumMismatch);
    }
    EXPECT_TRUE(files().empty());

    // The published checksum keeps it, and an earlier download changed since is fetched again.
    const std::string published = "4251021511d429b74a9ffbefe55a150fb67af307a3ea6e2c0b6c6f6b97a0e7be";  // of "the release"
    ManualUpdateItem genuine{"Tool", "2.0", url, std::nullopt, published};
    EXPECT_EQ(readFile(downloads.download(genuine).path()), body);
    writeFileAtomically(folder_ + "/Tool.zip", "changed");
    EXPECT_EQ(readFile(downloads.download(genuine).path()), body);
}

TEST_F(ManualUpdateCoordinatorTest, NamelessDownloadsAreNamedFromTheItemAndHostileNamesStayInTheFolder) {
    ManualUpdateCoordinator downloads = coordinator();
    std::string image = serve("/latest", "img", "application/x-apple-diskimage");
    EXPECT_EQ(downloads.download({"My App", "2.0", image, std::nullopt}).path(), folder_ + "/My App 2.0.dmg");
    std::string archive = serve("/zip", "zip", "application/zip");
    EXPECT_EQ(downloads.download({"Tools/Suite", std::nullopt, archive, std::nullopt}).path(),
              folder_ + "/Tools-Suite update.zip");

    const std::string longName(4096, 'n');
    int index = 0;
    for (const std::string& header : {std::string("attachment; filename*=UTF-8''..%2F..%2Fescaped%0D%0AX-Evil: 1.dmg"),
                                      std::string(R"(attachment; filename="../../escaped.dmg")"),
                                      "attachment; filename=\"" + longName + ".dmg\""}) {
        std::string url = serve("/evil" + std::to_string(index++), "evil", "application/zip",
                                {{"Content-Disposition", header}});
        std::string path = downloads.download({"Evil", "1", url, std::nullopt}).path();
        EXPECT_EQ(std::filesystem::path(path).parent_path().string(), folder_) << header;
        EXPECT_LE(std::filesystem::path(path).filename().string().size(), kMaxDownloadFileNameBytes);
        EXPECT_EQ(path.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(root_.path() + "/escaped.dmg"));
    EXPECT_EQ(files().size(), 5u);
}

TEST_F(ManualUpdateCoordinatorTest, HttpErrorsAndBodiesOtherThanAnnouncedFailClearlyAndLeaveNothing) {
    ManualUpdateCoordinator downloads = coordinator();
    LoopbackRoute missing;
    missing.status = 404;
    server_.setRoute("/missing", missing);
    ManualUpdateItem item{"Gone", "1.0", server_.url("/missing"), std::nullopt};
    LogCapture log;
    try {
        downloads.download(item);
        ADD_FAILURE() << "no error";
    } catch (const ManualUpdateError& error) {
        EXPECT_EQ(error.kind(), ManualUpdateError::Kind::HttpError);
        EXPECT_EQ(error.statusCode(), 404);
        EXPECT_EQ(std::string(error.what()), localized("manual_update.error.http", {"404"}));
    }
    EXPECT_TRUE(log.contains("Download of Gone failed: "));
    EXPECT_TRUE(files().empty());

    // Bytes past the announced length are never written: the file is what was announced.
    RawHttpServer longer("HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: 10\r\n\r\n" +
                         std::string(10, 'a') + std::string(5000, 'X'));
    std::string path = downloads.download({"Long", "1", longer.url("/long.zip"), std::nullopt}).path();
    EXPECT_EQ(readFile(path), std::string(10, 'a'));
    // A body cut short of its length fails, and no partial file stays.
    RawHttpServer shorter("HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: 100000\r\n\r\n" +
                          std::string(10, 'a'));
    EXPECT_THROW(downloads.download({"Short", "1", shorter.url("/short.zip"), std::nullopt}), NetworkError);
    EXPECT_EQ(files(), std::vector<std::string>{"long.zip"});
}

TEST_F(ManualUpdateCoordinatorTest, CancellingStopsTheTransferWithoutRecordingAFailure) {
    LoopbackRoute slow;
    slow.body = std::string(4000, 's');
    slow.chunkSize = 100;
    slow.chunkDelay = std::chrono::milliseconds(50);
    server_.setRoute("/slow", slow);
    ManualUpdateCoordinator downloads = coordinator();
    ManualUpdateItem item{"Slow", "1", server_.url("/slow"), std::nullopt};
    std::stop_source stop;
    LogCapture log;
    EXPECT_THROW(downloads.download(item,
                                    [&](const ManualUpdateProgress& progress) {
                                        if (progress.percent && *progress.percent > 0) stop.request_stop();
                                    },
                                    stop.get_token()),
                 CancellationError);
    EXPECT_FALSE(log.contains("failed"));
    EXPECT_TRUE(files().empty());
}

TEST(ManualUpdateDownloadFolderTest, TheUsersConfiguredDownloadFolderElseDownloadsInHome) {
    testing::TempHome home;
    CommandRunner runner;
    EXPECT_EQ(ManualUpdateCoordinator::userDownloadFolder(&runner), home.path() + "/Downloads");
    if (!std::filesystem::exists("/usr/bin/xdg-user-dir")) GTEST_SKIP() << "xdg-user-dir is installed by scripts/setup --tests";
    std::filesystem::create_directories(home.path() + "/.config");
    writeFileAtomically(home.path() + "/.config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
    CommandRunner fresh;  // the first answer is cached for a few seconds
    EXPECT_EQ(ManualUpdateCoordinator::userDownloadFolder(&fresh), home.path() + "/Téléchargements");
}

}  // namespace
}  // namespace vt
