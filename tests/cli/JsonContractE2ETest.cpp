// Every JSON document a command prints carries its schema version, and the documents of a
// scan with stand-ins for the tools match the schemas kept under schemas/.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/FakeTools.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::jsonOf;
using testing::runVantreel;

class JsonContractE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCasks", "ShowCargo", "ShowInstalledApplications"});
        testing::writeFakeBrew(home_, {{"testball", "0.0.1", "0.1"}, {"local-caffeine", "1.2.2", "1.2.3", true}});
        testing::writeFakeCargo(home_, "ripgrep", "13.0.0");
    }

    ShellCommandResult json(std::vector<std::string> arguments) const {
        return runVantreel({std::move(arguments),
                            home_.path(),
                            {{"VANTREEL_SCANNER_TIMEOUT", "20"}, {"VANTREEL_ENDPOINT_CRATES", "http://127.0.0.1:9"}}});
    }

    void expectMatches(const std::string& schema, const ShellCommandResult& result) const {
        EXPECT_EQ(jsonOf(result).value("schemaVersion", 0), 1) << result.standardOutput;
        EXPECT_EQ(testing::schemaViolations(schema, result.standardOutput), "") << result.standardOutput;
    }

    testing::TempDir home_{"vt-json-e2e"};
};

TEST_F(JsonContractE2ETest, DocumentsOfARealScanMatchTheirSchemas) {
    expectMatches("check-updates.schema.json", json({"outdated-count", "--json"}));
    expectMatches("list.schema.json", json({"list", "--json"}));

    const ShellCommandResult scan = json({"--accept-terms", "scan", "--json", "--all"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    expectMatches("scan.schema.json", scan);
    const Json report = jsonOf(scan);
    EXPECT_EQ(report["scan"]["date"].get<std::string>().back(), 'Z');
    EXPECT_GE(report["rows"].size(), 3u);
    expectMatches("list.schema.json", json({"list", "--json", "--all"}));
    expectMatches("apps.schema.json", json({"--verbose", "apps", "--json"}));
    expectMatches("managers.schema.json", json({"managers", "--json"}));
    expectMatches("check-updates.schema.json", json({"check-updates", "--json", "--accept-terms"}));
    expectMatches("check-updates.schema.json", json({"outdated-count", "--json"}));

    ASSERT_EQ(json({"ignore", "brew:testball"}).exitCode, 0);
    ASSERT_EQ(json({"snooze", "cask:local-caffeine", "--for", "7d"}).exitCode, 0);
    const ShellCommandResult why = json({"why", "brew:testball", "--json"});
    expectMatches("why.schema.json", why);
    EXPECT_EQ(jsonOf(why)["items"][0]["id"], "brew:testball") << why.standardOutput;
    const ShellCommandResult ignored = json({"ignored", "--json"});
    expectMatches("ignored.schema.json", ignored);
    EXPECT_EQ(jsonOf(ignored)["ignored"].size(), 2u) << ignored.standardOutput;
    ASSERT_EQ(json({"unignore", "brew:testball"}).exitCode, 0);
    ASSERT_EQ(json({"unsnooze", "cask:local-caffeine"}).exitCode, 0);

    // The stand-in brew upgrades nothing: the failures are reported in the same shape.
    const ShellCommandResult plan = json({"--accept-terms", "update", "brew:testball", "--dry-run", "--json"});
    EXPECT_EQ(plan.exitCode, 0) << plan.standardError;
    expectMatches("update.schema.json", plan);
    EXPECT_EQ(jsonOf(plan)["steps"][0]["items"][0]["id"], "brew:testball") << plan.standardOutput;
    const ShellCommandResult update = json({"--accept-terms", "update", "brew:testball", "--yes", "--json"});
    EXPECT_EQ(update.exitCode, 1);
    expectMatches("update.schema.json", update);
    EXPECT_EQ(jsonOf(update)["results"][0]["id"], "brew:testball") << update.standardOutput;
    expectMatches("update-all.schema.json", json({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    const ShellCommandResult batch = json({"--accept-terms", "update", "--all", "--yes", "--json"});
    expectMatches("update-all.schema.json", batch);
    EXPECT_FALSE(jsonOf(batch)["results"].empty()) << batch.standardOutput;

    // The other documents carry their version too.
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"activity", "--json"},
                                               {"settings", "list", "--json"},
                                               {"settings", "get", "CheckInterval", "--json"},
                                               {"agent", "status", "--json"},
                                               {"endpoints", "--json"},
                                               {"rules", "list", "--json"}}) {
        const ShellCommandResult result = json(command);
        EXPECT_EQ(jsonOf(result).value("schemaVersion", 0), 1) << command.front() << ": " << result.standardOutput;
    }
    const Json activity = jsonOf(json({"activity", "--json"}));
    ASSERT_FALSE(activity["activity"].empty());
    EXPECT_EQ(activity["activity"][0]["date"].get<std::string>().back(), 'Z');
}

}  // namespace
}  // namespace vt
