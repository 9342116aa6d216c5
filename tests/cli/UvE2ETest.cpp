// `vantreel scan --json` and `vantreel watch` with a fake `uv` in the sandbox's ~/.local/bin and
// PyPI on loopback.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/IsoDate.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;
using namespace std::chrono_literals;

// What a child wrote to a pipe, read as it comes.
class Output {
public:
    explicit Output(int fd) : fd_(fd) {}
    ~Output() { ::close(fd_); }
    // Waits until `text` appears after `from`; the position after it, or npos.
    std::size_t waitFor(const std::string& text, std::size_t from = 0, std::chrono::seconds limit = 60s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (true) {
            if (auto at = text_.find(text, from); at != std::string::npos) return at + text.size();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::string::npos;
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::read(fd_, buffer, sizeof(buffer));
            if (n <= 0) return std::string::npos;
            text_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    const std::string& text() const { return text_; }

private:
    int fd_;
    std::string text_;
};

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

// --every is the interval: each one brings a scan and its table, through a pipe as lines,
// the saved results first.
TEST_F(UvE2ETest, WatchScansAtEachIntervalAndPrintsItsLinesThroughAPipeUntilInterrupted) {
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_PYPI", pypi_.origin().c_str());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = testing::startVantreel(home_.path(), {"--accept-terms", "watch", "--every", "0.3"}, pipeFds[1]);
    ::close(pipeFds[1]);
    ASSERT_GT(pid, 0);
    Output output(pipeFds[0]);

    std::size_t at = output.waitFor("Results of the last scan\n");
    ASSERT_NE(at, std::string::npos) << output.text() << readFile(testing::logFile(home_.path())).value_or("(no log)");
    // Each interval scans again (the settings' interval of hours does not hold it back) and
    // prints the table under the scan's line.
    for (int scan = 0; scan < 2; ++scan) {
        at = output.waitFor("Scan of ", at);
        ASSERT_NE(at, std::string::npos) << output.text();
        at = output.waitFor("ruff  0.3.0      0.4.1", at);
        ASSERT_NE(at, std::string::npos) << output.text();
    }
    EXPECT_EQ(output.text().find("automatic scan interval has not elapsed"), std::string::npos) << output.text();

    // Ctrl-C is the normal end of the command.
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << output.text();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Plain lines, since the output is not a terminal.
    EXPECT_EQ(output.text().find('\033'), std::string::npos);
}

// With --json each completed scan is one line, one document in the shape of scan --json; the
// saved results are not printed first.
TEST_F(UvE2ETest, WatchWithJsonPrintsOneDocumentALinePerScan) {
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_PYPI", pypi_.origin().c_str());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = testing::startVantreel(home_.path(), {"--accept-terms", "watch", "--every", "0.3", "--json"}, pipeFds[1]);
    ::close(pipeFds[1]);
    ASSERT_GT(pid, 0);
    Output output(pipeFds[0]);

    std::size_t at = 0;
    for (int scan = 0; scan < 2; ++scan) {
        at = output.waitFor("\n", at);
        ASSERT_NE(at, std::string::npos) << output.text() << readFile(testing::logFile(home_.path())).value_or("(no log)");
    }
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output.text();

    const std::string printed = output.text().substr(0, at);
    const std::vector<std::string_view> lines = splitLines(printed);
    ASSERT_EQ(lines.size(), 2u) << printed;
    for (std::string_view line : lines) {
        EXPECT_EQ(testing::schemaViolations("watch.schema.json", std::string(line)), "") << line;
        const std::optional<Json> document = parseJson(line);
        ASSERT_TRUE(document.has_value()) << line;
        EXPECT_EQ(testing::itemsByKey(*document).count("package:uv tools:ruff"), 1u) << line;
    }
}

}  // namespace
}  // namespace vt
