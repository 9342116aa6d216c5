// `vantreel scan` with the real npm, offline: the sandbox HOME's .npmrc points npm at a
// loopback registry serving packuments and at a global prefix in the sandbox, whose
// packages are written by hand as npm would leave them.
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "managers/ExecutableLocator.hpp"
#include "model/Package.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::LoopbackRoute;
using testing::runVantreel;

std::string npmKey(const std::string& name) {
    return stableKey(Package{.name = name, .version = "", .type = PackageType::NpmGlobal});
}

class NpmE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        SystemFileSystemManager files;
        if (!ExecutableLocator(CommandRunner::shared(), files).locate("npm")) GTEST_SKIP() << "npm is not installed";
        testing::showOnly(home_.path(), {"ShowNpm"});
        prefix_ = home_.file("npm-global");
        home_.write(".npmrc", "registry=" + registry_.origin() + "/\nprefix=" + prefix_ +
                                  "\nnoproxy=127.0.0.1,localhost\nfetch-retries=0\nupdate-notifier=false\n");
        installByHand("vt-e2e-tool", "1.0.0");
        installByHand("@vt-e2e/scoped", "0.1.0");
        installByHand("vt-e2e-local", "2.0.0");  // from a tarball: no registry knows it
    }

    void installByHand(const std::string& name, const std::string& version) {
        home_.write("npm-global/lib/node_modules/" + name + "/package.json",
                    R"({"name": ")" + name + R"(", "version": ")" + version + R"("})");
    }

    // What npm asks a registry for: the package's document with every version.
    void publish(const std::string& name, const std::vector<std::string>& versions) {
        Json document = {{"name", name}, {"dist-tags", {{"latest", versions.back()}}}, {"versions", Json::object()}};
        for (const std::string& version : versions) {
            document["versions"][version] = {
                {"name", name},
                {"version", version},
                {"dist", {{"tarball", registry_.url("/tarballs/" + version + ".tgz")}}}};
        }
        LoopbackRoute route;
        route.body = document.dump();
        registry_.setRoute("/" + name, route);
        LoopbackRoute latest;
        latest.body = document["versions"][versions.back()].dump();
        registry_.setRoute("/" + name + "/latest", latest);
        // The scoped name's slash arrives escaped; serve it either way.
        if (auto slash = name.find('/'); slash != std::string::npos) {
            registry_.setRoute("/" + name.substr(0, slash) + "%2f" + name.substr(slash + 1), route);
        }
    }

    // The tarball `npm install` fetches for one version, as `npm pack` makes it.
    void publishTarball(const std::string& name, const std::string& version) {
        home_.write("packages/" + version + "/package/package.json",
                    R"({"name": ")" + name + R"(", "version": ")" + version + R"("})");
        const std::string tarball = home_.file("packages/" + version + ".tgz");
        ShellCommandResult packed = CommandRunner::shared().execute(
            CommandRequest{.command = "/bin/tar",
                           .arguments = {"-czf", tarball, "-C", home_.file("packages/" + version), "package"},
                           .timeout = 30});
        ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
        LoopbackRoute route;
        route.contentType = "application/octet-stream";
        route.body = readFile(tarball).value_or("");
        registry_.setRoute("/tarballs/" + version + ".tgz", route);
    }

    // The scan's items by stable key, and its scanners by id.
    std::pair<std::map<std::string, Json>, std::map<std::string, Json>> scan() {
        auto result = runVantreel({{"--accept-terms", "scan", "--json"}, home_.path(), {}, std::nullopt, 180});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        Json report = testing::jsonOf(result);
        std::map<std::string, Json> scanners;
        if (report.contains("scanners")) {
            for (const auto& scanner : report["scanners"]) scanners[scanner["source"].get<std::string>()] = scanner;
        }
        return {testing::itemsByKey(report), scanners};
    }

    testing::TempDir home_{"vt-npm-e2e"};
    testing::LoopbackServer registry_;
    std::string prefix_;
};

TEST_F(NpmE2ETest, ScanReportsOutdatedGlobalsWithTheConfiguredRegistrysLatestVersions) {
    publish("vt-e2e-tool", {"1.0.0", "1.4.0"});
    publish("@vt-e2e/scoped", {"0.1.0", "0.2.0"});
    auto [items, scanners] = scan();

    ASSERT_TRUE(items.count(npmKey("vt-e2e-tool"))) << ::testing::PrintToString(items.size());
    const Json& tool = items[npmKey("vt-e2e-tool")];
    EXPECT_EQ(tool["version"], "1.0.0");
    EXPECT_EQ(tool["latestVersion"], "1.4.0");
    EXPECT_EQ(tool["updateAvailable"], true);
    EXPECT_EQ(std::filesystem::weakly_canonical(tool["installLocation"].get<std::string>()),
              std::filesystem::weakly_canonical(prefix_ + "/lib/node_modules/vt-e2e-tool"));
    ASSERT_TRUE(items.count(npmKey("@vt-e2e/scoped")));
    EXPECT_EQ(items[npmKey("@vt-e2e/scoped")]["latestVersion"], "0.2.0");
    // Unknown to the registry: still listed, with nothing to update to.
    ASSERT_TRUE(items.count(npmKey("vt-e2e-local")));
    EXPECT_FALSE(items[npmKey("vt-e2e-local")].contains("latestVersion"));
    EXPECT_EQ(items[npmKey("vt-e2e-local")]["updateAvailable"], false);
    EXPECT_EQ(items.size(), 3u);

    ASSERT_TRUE(scanners.count("npm"));
    EXPECT_EQ(scanners["npm"]["state"], "finished");
    EXPECT_EQ(scanners["npm"]["count"], 3);
    EXPECT_FALSE(scanners["npm"].contains("error"));
    EXPECT_FALSE(scanners["npm"].contains("message"));
    EXPECT_GE(registry_.requestCount("/vt-e2e-tool"), 1u);  // npm asked our registry, nobody else
}

// `vantreel update` installs the registry's latest with the real npm; the saved inventory, and
// so the next `list`, show the new version.
TEST_F(NpmE2ETest, UpdateInstallsTheLatestVersionAndTheNextListShowsIt) {
    publish("vt-e2e-tool", {"1.0.0", "1.4.0"});
    const std::string key = npmKey("vt-e2e-tool");
    auto [items, scanners] = scan();
    ASSERT_TRUE(items.count(key));
    ASSERT_EQ(items[key]["latestVersion"], "1.4.0");

    auto unknown = runVantreel({{"--accept-terms", "update", "no-such-tool"}, home_.path()});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.standardError.find("no item \"no-such-tool\" in the last scan"), std::string::npos)
        << unknown.standardError;
    // The registry names a tarball it does not serve: npm fails, and so does the update.
    auto failed = runVantreel({{"--accept-terms", "update", "--yes", key}, home_.path(), {}, std::nullopt, 300});
    EXPECT_EQ(failed.exitCode, 1) << failed.standardOutput << failed.standardError;
    // The plan comes first, with the version the row showed.
    EXPECT_TRUE(failed.standardOutput.starts_with("To update (1):\n  npm               vt-e2e-tool 1.0.0 → 1.4.0\n"))
        << failed.standardOutput;
    EXPECT_NE(failed.standardOutput.find("\nvt-e2e-tool: update failed: "), std::string::npos) << failed.standardOutput;

    publishTarball("vt-e2e-tool", "1.4.0");
    auto updated = runVantreel({{"--accept-terms", "update", "--yes", key}, home_.path(), {}, std::nullopt, 300});
    ASSERT_EQ(updated.exitCode, 0) << updated.standardOutput << updated.standardError;
    EXPECT_TRUE(updated.standardOutput.ends_with("\nvt-e2e-tool: 1.0.0 → 1.4.0\n")) << updated.standardOutput;
    EXPECT_NE(updated.standardError.find("[1/1] vt-e2e-tool"), std::string::npos) << updated.standardError;
    auto installed = parseJson(readFile(prefix_ + "/lib/node_modules/vt-e2e-tool/package.json").value_or(""));
    ASSERT_TRUE(installed.has_value());
    EXPECT_EQ((*installed)["version"], "1.4.0");
    EXPECT_GE(registry_.requestCount("/tarballs/1.4.0.tgz"), 1u);

    auto listed = runVantreel({{"list", "--all", "--json"}, home_.path()});
    ASSERT_EQ(listed.exitCode, 0) << listed.standardError;
    std::map<std::string, Json> saved = testing::itemsByKey(testing::jsonOf(listed));
    ASSERT_TRUE(saved.count(key)) << listed.standardOutput;
    EXPECT_EQ(saved[key]["version"], "1.4.0");
    EXPECT_EQ(saved[key]["updateAvailable"], false);
    EXPECT_EQ(saved.size(), 3u);

    auto document = parseJson(runVantreel({{"activity", "--json"}, home_.path()}).standardOutput);
    ASSERT_TRUE(document && !(*document)["activity"].empty());
    EXPECT_EQ((*document)["activity"].front()["type"], "success") << document->dump();
}

}  // namespace
}  // namespace vt
