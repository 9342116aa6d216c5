// `vantreel scan --json` with a fake `uv` in the sandbox's ~/.local/bin and PyPI on loopback.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/IsoDate.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class UvE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowUv"});

        // Output as `uv tool list` prints it (uv's CLI reference, "uv tool list").
        home_.writeExecutable(".local/bin/uv", R"(#!/bin/sh
case "$1 $2" in
  "tool list") printf 'ruff v0.3.0\n- ruff\nhttpie v3.2.2\n- http\n- https\n' ;;
  *) echo "error: unexpected arguments: $*" >&2; exit 2 ;;
esac
)");
        home_.write(".local/share/uv/tools/ruff/uv-receipt.toml", R"([tool]
requirements = [{ name = "ruff" }]
entrypoints = [{ name = "ruff", install-path = ")" + home_.file(".local/bin/ruff") +
                                                                      R"(" }]
)");
        home_.write(".local/share/uv/tools/httpie/uv-receipt.toml", R"([tool]
requirements = [{ name = "httpie", git = "https://github.com/httpie/cli?tag=3.2.2" }]
entrypoints = [{ name = "http", install-path = ")" + home_.file(".local/bin/http") +
                                                                        R"(" }]
)");
        testing::LoopbackRoute ruff;
        ruff.body = R"({"info": {"name": "ruff", "version": "0.4.1"}, "releases": {}})";
        pypi_.setRoute("/pypi/ruff/json", ruff);
        testing::LoopbackRoute httpie;
        httpie.body = R"({"info": {"name": "httpie", "version": "9.9.9"}, "releases": {}})";
        pypi_.setRoute("/pypi/httpie/json", httpie);
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        return {std::move(arguments),
                home_.path(),
                {{"VANTREEL_SCANNER_TIMEOUT", "20"}, {"VANTREEL_ENDPOINT_PYPI", pypi_.origin()}}};
    }

    testing::TempDir home_{"vt-uv-e2e"};
    testing::LoopbackServer pypi_;
};

TEST_F(UvE2ETest, RegistryToolIsOutdatedAgainstPyPIAndPinnedGitToolIsNot) {
    auto result = runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(result));

    ASSERT_TRUE(items.count("package:uv tools:ruff")) << result.standardOutput;
    const Json& ruff = items["package:uv tools:ruff"];
    EXPECT_EQ(ruff["version"], "0.3.0");
    EXPECT_EQ(ruff["latestVersion"], "0.4.1");
    EXPECT_EQ(ruff["updateAvailable"], true);
    EXPECT_EQ(ruff["sourceIdentifier"], "pypi");

    ASSERT_TRUE(items.count("package:uv tools:httpie")) << result.standardOutput;
    const Json& httpie = items["package:uv tools:httpie"];
    EXPECT_EQ(httpie["updateAvailable"], false);
    EXPECT_FALSE(httpie.contains("latestVersion"));
    EXPECT_EQ(items.size(), 2u);

    EXPECT_EQ(pypi_.requestCount("/pypi/ruff/json"), 1u);
    EXPECT_EQ(pypi_.requestCount("/pypi/httpie/json"), 0u);
    // The answer was kept for the next scan, in the sandbox's cache folder.
    EXPECT_TRUE(readFile(home_.file(".cache/vantreel/uv_cache.json")).has_value());
}

// PyPI's document dates each release by its files. uv installs only its own latest, so with
// a week's minimum age the 10-day-old release cannot be offered in place of the 1-day-old
// latest: ruff waits for it, held back, and the update of everything leaves it out.
TEST_F(UvE2ETest, AMinimumReleaseAgeHoldsBackAToolThatInstallsOnlyItsOwnLatest) {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    auto daysAgo = [&now](int days) { return formatIsoDate(now - std::chrono::hours(24 * days)); };
    auto file = [](const std::string& date) { return Json::array({{{"upload_time_iso_8601", date}, {"yanked", false}}}); };
    testing::LoopbackRoute ruff;
    ruff.body = Json{{"info", {{"name", "ruff"}, {"version", "0.6.0"}}},
                     {"releases",
                      {{"0.3.0", file(daysAgo(40))},
                       {"0.4.0", file(daysAgo(10))},
                       {"0.5.0", file(daysAgo(3))},
                       {"0.6.0", file(daysAgo(1))}}}}
                    .dump();
    pypi_.setRoute("/pypi/ruff/json", ruff);
    ASSERT_EQ(runVantreel(run({"settings", "set", "MinimumReleaseAgeDays", "7"})).exitCode, 0);
    testing::VantreelRun scan = run({"--accept-terms", "scan", "--json"});
    scan.environment["VANTREEL_NOW"] = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
    auto result = runVantreel(scan);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(result));
    ASSERT_TRUE(items.count("package:uv tools:ruff")) << result.standardOutput;
    const Json& tool = items["package:uv tools:ruff"];
    EXPECT_EQ(tool["latestVersion"], "0.6.0") << tool.dump();
    EXPECT_EQ(tool["releaseAge"]["verdict"], "waiting");
    EXPECT_EQ(tool["releaseAge"]["waiting"], "0.6.0");
    EXPECT_EQ(tool["releaseAge"]["waitingUntil"], formatIsoDate(now + std::chrono::hours(24 * 6)));
    EXPECT_EQ(pypi_.requestCount("/pypi/ruff/json"), 1u);

    testing::VantreelRun planRun = run({"--accept-terms", "update-all", "--dry-run", "--json"});
    planRun.environment = scan.environment;
    Json plan = testing::jsonOf(runVantreel(planRun));
    bool leftOut = false;
    for (const Json& item : plan["leftOut"]) {
        if (item["name"] == "ruff") leftOut = item.value("code", "") == "release-age-waiting";
    }
    EXPECT_TRUE(leftOut) << plan.dump();
    for (const Json& step : plan["steps"]) EXPECT_NE(step["manager"], "uv") << plan.dump();
}

}  // namespace
}  // namespace vt
