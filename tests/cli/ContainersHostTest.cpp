// `vantreel scan` and `vantreel update` with the real podman of this machine, its storage in a
// sandbox, against the reference registry (Debian's docker-registry) on loopback: a tag pushed
// twice moves, the scan offers the new digest, the update pulls it, and the next scan is clean.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "cli/LoopbackDaemon.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

extern char** environ;

namespace vt {
namespace {

constexpr const char* kPodman = "/usr/bin/podman";
constexpr const char* kRegistry = "/usr/bin/docker-registry";

// The reference registry, started for one test and stopped with it.
class Registry {
public:
    Registry(const testing::TempDir& sandbox, int port)
        : daemon_({kRegistry, "serve",
                   sandbox.write("registry.yml", "version: 0.1\nlog:\n  level: error\nstorage:\n  filesystem:\n"
                                                 "    rootdirectory: " + sandbox.file("registry-data") +
                                                     "\nhttp:\n  addr: 127.0.0.1:" + std::to_string(port) + "\n")},
                  environ, [port] {
                      HttpRequest request;
                      request.url = "http://127.0.0.1:" + std::to_string(port) + "/v2/";
                      request.timeoutSeconds = 1;
                      try {
                          return SystemNetworkClient().send(request).statusCode == 200;
                      } catch (const std::exception&) {
                          return false;
                      }
                  }) {}
    bool started() const { return daemon_.started(); }

private:
    testing::LoopbackDaemon daemon_;
};

class ContainersHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SystemFileSystemManager().isExecutableFile(kPodman) ||
            !SystemFileSystemManager().isExecutableFile(kRegistry)) {
            GTEST_SKIP() << "podman or docker-registry is not installed (scripts/setup --tests)";
        }
        port_ = testing::freeLoopbackPort();
        image_ = "127.0.0.1:" + std::to_string(port_) + "/demo/app:latest";
        // Two storages: the publisher's, which builds and pushes, and the user's, which pulls.
        for (const char* who : {"publisher", "user"}) {
            // podman stats the auth file it is pointed at: an empty login list.
            sandbox_.write(std::string(who) + "/auth.json", "{\"auths\": {}}\n");
            sandbox_.write(std::string(who) + "/storage.conf",
                           "[storage]\ndriver = \"vfs\"\ngraphroot = \"" + sandbox_.file(std::string(who) + "/root") +
                               "\"\nrunroot = \"" + sandbox_.file(std::string(who) + "/run") + "\"\n");
        }
        // The engines' own rule for a plain-http registry; ours takes loopback as such already.
        registries_ = sandbox_.write("registries.conf", "[[registry]]\nlocation = \"127.0.0.1:" +
                                                            std::to_string(port_) + "\"\ninsecure = true\n");
        sandbox_.write("context/Containerfile", "FROM scratch\nCOPY file /file\n");
        testing::showOnly(home_.path(), {"ShowDocker"});
    }

    std::map<std::string, std::string> environmentOf(const std::string& who) const {
        return {{"CONTAINERS_STORAGE_CONF", sandbox_.file(who + "/storage.conf")},
                {"CONTAINERS_REGISTRIES_CONF", registries_},
                {"XDG_RUNTIME_DIR", sandbox_.makeFolder(who + "/xdg")},
                {"REGISTRY_AUTH_FILE", sandbox_.file(who + "/auth.json")}};
    }

    ShellCommandResult podman(const std::string& who, std::vector<std::string> arguments) const {
        CommandRequest request{.command = kPodman, .arguments = std::move(arguments), .environment = environmentOf(who),
                               .timeout = 120, .allowNonZeroExit = true};
        request.environment["HOME"] = sandbox_.makeFolder(who + "/home");
        return CommandRunner::shared().execute(request);
    }

    void publish(const std::string& content) const {
        sandbox_.write("context/file", content);
        ASSERT_EQ(podman("publisher", {"build", "-q", "-t", image_, sandbox_.file("context")}).exitCode, 0);
        auto push = podman("publisher", {"push", "-q", image_});
        ASSERT_EQ(push.exitCode, 0) << push.standardError;
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        std::map<std::string, std::string> environment = environmentOf("user");
        environment["VANTREEL_SCANNER_TIMEOUT"] = "120";
        return {std::move(arguments), home_.path(), environment, std::nullopt, 240};
    }

    testing::TempDir sandbox_{"vt-podman"};
    testing::TempDir home_{"vt-podman-home"};
    std::string registries_;
    std::string image_;
    int port_ = 0;
};

TEST_F(ContainersHostTest, AMovedTagIsOfferedAndTheUpdatePullsIt) {
    Registry registry(sandbox_, port_);
    ASSERT_TRUE(registry.started());
    publish("first build\n");
    auto pull = podman("user", {"pull", "-q", image_});
    ASSERT_EQ(pull.exitCode, 0) << pull.standardError;

    const std::string key = toLower("package:docker:" + image_);
    auto clean = testing::runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(clean.exitCode, 0) << clean.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(clean));
    ASSERT_TRUE(items.count(key)) << clean.standardOutput;
    EXPECT_EQ(items[key]["updateAvailable"], false) << "the tag has not moved yet";

    publish("second build\n");
    auto moved = testing::runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(moved.exitCode, 0) << moved.standardError;
    items = testing::itemsByKey(testing::jsonOf(moved));
    ASSERT_TRUE(items.count(key)) << moved.standardOutput;
    EXPECT_EQ(items[key]["updateAvailable"], true) << items[key].dump();
    const std::string offered = items[key].value("latestVersion", "");
    ASSERT_TRUE(startsWith(offered, "sha256:")) << items[key].dump();

    auto update = testing::runVantreel(run({"--accept-terms", "update", key, "--yes", "--json"}));
    ASSERT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    auto listing = podman("user", {"images", "--format", "json"});
    EXPECT_NE(listing.standardOutput.find("/demo/app@" + offered), std::string::npos) << listing.standardOutput;

    auto after = testing::runVantreel(run({"--accept-terms", "scan", "--json"}));
    items = testing::itemsByKey(testing::jsonOf(after));
    ASSERT_TRUE(items.count(key)) << after.standardOutput;
    EXPECT_EQ(items[key]["updateAvailable"], false) << items[key].dump();
    EXPECT_EQ(items[key].value("version", ""), offered);
}

}  // namespace
}  // namespace vt
