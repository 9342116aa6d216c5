// `vantreel scan` with fake `flatpak` and `snap` in the sandbox's ~/.local/bin (neither is
// installed here; their outputs are the documented shapes of tests/managers/fixtures).
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/Fixtures.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class SystemSourcesE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        home_.write("flatpak-list.txt", testing::fixture("flatpak", "list.txt"));
        home_.write("flatpak-user.txt", testing::fixture("flatpak", "updates-user.txt"));
        home_.writeExecutable(".local/bin/flatpak", "#!/bin/sh\ncase \"$1 $2\" in\n"
                                                    "  \"list --app\") cat \"$HOME/flatpak-list.txt\" ;;\n"
                                                    "  \"remote-ls --user\") cat \"$HOME/flatpak-user.txt\" ;;\n"
                                                    "  \"remote-ls --system\") ;;\n"
                                                    "  *) echo \"error: unexpected $*\" >&2; exit 1 ;;\nesac\n");
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        return {std::move(arguments), home_.path(), {{"VANTREEL_SCANNER_TIMEOUT", "30"}}};
    }

    testing::TempDir home_{"vt-system-e2e"};
};

TEST_F(SystemSourcesE2ETest, FlatpakRowsBesideASnapWhoseListIsTooLarge) {
    testing::showOnly(home_.path(), {"ShowFlatpak", "ShowSnap"});
    // A snap that floods its output: its own message, and Flatpak's rows stay.
    home_.writeExecutable(".local/bin/snap", "#!/bin/sh\nhead -c 104857600 /dev/zero | tr '\\000' x\n");
    auto result = runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    Json report = testing::jsonOf(result);
    std::map<std::string, Json> items = testing::itemsByKey(report);
    ASSERT_TRUE(items.count("package:flatpak:org.mozilla.firefox")) << result.standardOutput;
    EXPECT_EQ(items["package:flatpak:org.mozilla.firefox"]["updateAvailable"], true);
    std::string snapMessage;
    for (const Json& scanner : report["scanners"]) {
        if (scanner.value("source", "") == "snap") snapMessage = scanner.dump();
    }
    EXPECT_NE(snapMessage.find("snap printed more than 16 MB"), std::string::npos) << report["scanners"].dump();
}

TEST_F(SystemSourcesE2ETest, ToolsFoundOnFirstLaunchTurnTheirSourcesOn) {
    home_.writeExecutable(".local/bin/snap", "#!/bin/sh\necho 'Name Version Rev Tracking Publisher Notes'\n");
    auto result = runVantreel(run({"--accept-terms", "managers", "--json"}));
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, bool> enabled;
    const Json document = testing::jsonOf(result);  // kept: the loop must not read a freed temporary
    for (const Json& row : document["sources"]) enabled[row.value("id", "")] = row.value("enabled", false);
    EXPECT_TRUE(enabled["flatpak"]);
    EXPECT_TRUE(enabled["snap"]);
}

}  // namespace
}  // namespace vt
