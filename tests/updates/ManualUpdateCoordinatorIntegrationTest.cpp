// Manual downloads against a loopback server: naming, hostile headers, HTTP errors, bodies
// longer or shorter than announced, cancellation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "support/Thrown.hpp"
#include "system/CommandRunner.hpp"
#include "system/SystemNetworkClient.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/ManualUpdateCoordinator.hpp"

namespace vt {
namespace {

// Answers every connection with the same bytes, whatever HTTP says they should be.
class RawHttpServer {
public:
    explicit RawHttpServer(std::string answer) : answer_(std::move(answer)) {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t length = sizeof(address);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0; ::close(client)) {
                char request[4096];  // a HEAD or a GET, read in one go
                const bool head = ::read(client, request, sizeof(request)) >= 4 && std::string_view(request, 4) == "HEAD";
                const std::string answer = head ? answer_.substr(0, answer_.find("\r\n\r\n") + 4) : answer_;
                (void)!::write(client, answer.data(), answer.size());
                ::shutdown(client, SHUT_RDWR);
            }
        });
    }
    ~RawHttpServer() {
        ::shutdown(fd_, SHUT_RDWR);  // ends the accept
        thread_.join();
        ::close(fd_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    std::string answer_;
    int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int port_ = 0;
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
        for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string serve(const std::string& path, const std::string& body, const std::string& type,
                      std::vector<std::pair<std::string, std::string>> headers = {}) {
        server_.setRoute(path, {.body = body, .contentType = type, .headers = std::move(headers)});
        return server_.url(path);
    }
};

// Kept for later runs, which give the file again without fetching it: SparkleE2ETest.
TEST_F(ManualUpdateCoordinatorTest, EncodedNameWinsAndProgressIsReported) {
    const std::string body(200000, 'd');
    const std::string url = serve("/get", body, "application/octet-stream",
                                  {{"Content-Disposition",
                                    R"(attachment; filename="plain.dmg"; filename*=UTF-8''Caf%C3%A9%20App.dmg)"}});
    LogCapture log;
    std::vector<ManualUpdateProgress> seen;
    ManualUpdateCoordinator downloads = coordinator();
    CompletedManualDownload done =
        downloads.download({"Café App", "2.0", url, std::nullopt}, [&](const ManualUpdateProgress& p) { seen.push_back(p); });
    EXPECT_EQ(done.path(), folder_ + "/Café App.dmg");
    EXPECT_EQ(readFile(done.path()), body);
    EXPECT_EQ(done.updateViewGeneration, 7);
    // Another version under the same name does not overwrite it.
    EXPECT_EQ(downloads.download({"Café App", "2.1", url, std::nullopt}).path(), folder_ + "/Café App (2).dmg");
    EXPECT_EQ(files(), (std::vector<std::string>{"Café App (2).dmg", "Café App.dmg"}));
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().phase, "manual_update.phase.preparing");
    EXPECT_EQ(seen[1].sizeBytes, body.size());  // from the HEAD, before any byte
    EXPECT_EQ(seen.back().phase, "manual_update.phase.cleaning");
    EXPECT_EQ(server_.requests().front().method, "HEAD");
    EXPECT_TRUE(log.contains("Downloaded Café App: final address " + url +
                             ", content type application/octet-stream, 200000 bytes"));
}

TEST_F(ManualUpdateCoordinatorTest, AFileThatIsNotThePublishedOneIsNeverKept) {
    const std::string body = "the release";
    const std::string url = serve("/Tool.zip", body, "application/zip");
    ManualUpdateCoordinator downloads = coordinator();
    ManualUpdateItem tampered{"Tool", "2.0", url, std::nullopt, std::string(64, '0')};
    EXPECT_EQ(testing::thrown<DirectDownloadError>([&] { downloads.download(tampered); }).value().kind(),
              DirectDownloadError::Kind::ChecksumMismatch);
    EXPECT_TRUE(files().empty());

    // The published checksum keeps it, and an earlier download changed since is fetched again.
    const std::string published = "4251021511d429b74a9ffbefe55a150fb67af307a3ea6e2c0b6c6f6b97a0e7be";  // of "the release"
    ManualUpdateItem genuine{"Tool", "2.0", url, std::nullopt, published};
    EXPECT_EQ(readFile(downloads.download(genuine).path()), body);
    writeFileAtomically(folder_ + "/Tool.zip", "changed");
    EXPECT_EQ(readFile(downloads.download(genuine).path()), body);
}

// Every name and every hostile header: DownloadFileNameTest.
TEST_F(ManualUpdateCoordinatorTest, NamelessDownloadsAreNamedFromTheItemAndHostileNamesStayInTheFolder) {
    ManualUpdateCoordinator downloads = coordinator();
    std::string image = serve("/latest", "img", "application/x-apple-diskimage");
    EXPECT_EQ(downloads.download({"My App", "2.0", image, std::nullopt}).path(), folder_ + "/My App 2.0.dmg");
    std::string evil = serve("/evil", "evil", "application/zip", {{"Content-Disposition", R"(attachment; filename="../../escaped.dmg")"}});
    EXPECT_EQ(downloads.download({"Evil", "1", evil, std::nullopt}).path(), folder_ + "/escaped.dmg");
}

TEST_F(ManualUpdateCoordinatorTest, HttpErrorsAndBodiesOtherThanAnnouncedFailClearlyAndLeaveNothing) {
    ManualUpdateCoordinator downloads = coordinator();
    server_.setRoute("/missing", {.status = 404});
    ManualUpdateItem item{"Gone", "1.0", server_.url("/missing"), std::nullopt};
    LogCapture log;
    const auto error = testing::thrown<ManualUpdateError>([&] { downloads.download(item); });
    EXPECT_EQ(error.value().kind(), ManualUpdateError::Kind::HttpError);
    EXPECT_EQ(error->statusCode(), 404);
    EXPECT_EQ(std::string(error->what()), localized("manual_update.error.http", {"404"}));
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
    server_.setRoute("/slow", {.body = std::string(4000, 's'), .chunkSize = 100, .chunkDelay = std::chrono::milliseconds(50)});
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
