// `vantreel scan` and `vantreel update` over a sandbox HOME holding stand-ins for two editors'
// tools (one on Microsoft's gallery, one on Open VSX), both marketplaces on loopback.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/Corpus.hpp"
#include "support/FakeEditor.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(EditorsE2ETest, PendingExtensionUpdatesAreScannedAndInstalled) {
    testing::TempDir home{"vt-editors-e2e"};
    testing::LoopbackServer marketplace;
    testing::showOnly(home.path(), {"ShowVSCode", "ShowVSCodium"});
    for (const char* tool : {"code", "codium"}) {
        const std::string app = std::string("apps/") + tool;
        home.writeExecutable(app + "/bin/" + tool, testing::kFakeEditorTool);
        home.write(app + "/resources/app/package.json", R"({"version": "1.96.0"})");
        home.makeFolder(".local/bin");
        std::filesystem::create_symlink(home.file(app + "/bin/" + tool), home.file(std::string(".local/bin/") + tool));
    }
    home.write("apps/code/extensions.txt", "ms-python.python@2024.1.0\n");
    home.write("apps/code/cli-latest", "2024.2.0");
    home.write("apps/codium/extensions.txt", "meta.pyrefly@0.40.0\n");
    home.write("apps/codium/cli-latest", "0.46.0");

    Json answer = parseJson(testing::corpusFile("vscode/openvsx-adapter.findname-yaml-response.json")).value();
    Json& extension = answer["results"][0]["extensions"][0];
    extension["publisher"]["publisherName"] = "ms-python";
    extension["extensionName"] = "python";
    extension["versions"][0]["version"] = "2024.2.0";
    marketplace.setRoute("/_apis/public/gallery/extensionquery", {.body = dumpJson(answer)});
    marketplace.setRoute("/api/meta/pyrefly", {.body = testing::corpusFile("vscode/openvsx.extension-meta.pyrefly.json")});
    const std::map<std::string, std::string> endpoints = {{"VANTREEL_ENDPOINT_VSMARKETPLACE", marketplace.origin()},
                                                          {"VANTREEL_ENDPOINT_OPENVSX", marketplace.origin()}};

    auto scan = testing::runVantreel({{"--accept-terms", "scan", "--json"}, home.path(), endpoints});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(scan));
    ASSERT_TRUE(items.count("vscode:ms-python.python")) << scan.standardOutput;
    EXPECT_EQ(items["vscode:ms-python.python"]["latestVersion"], "2024.2.0");
    EXPECT_EQ(items["vscode:ms-python.python"]["homepage"], marketplace.url("/items?itemName=ms-python.python"));
    ASSERT_TRUE(items.count("vscodium:meta.pyrefly")) << scan.standardOutput;
    EXPECT_EQ(items["vscodium:meta.pyrefly"]["latestVersion"], "0.46.0");

    for (const char* key : {"vscode:ms-python.python", "vscodium:meta.pyrefly"}) {
        auto update = testing::runVantreel({{"--accept-terms", "update", "--yes", key}, home.path(), endpoints});
        EXPECT_EQ(update.exitCode, 0) << key << ": " << update.standardOutput << update.standardError;
    }
    EXPECT_EQ(readFile(home.file("apps/code/installs.log")), "ms-python.python@2024.2.0 --force\n");  // the version shown
    EXPECT_EQ(readFile(home.file("apps/codium/extensions.txt")), "meta.pyrefly@0.46.0\n");
}

}  // namespace
}  // namespace vt
