// `vantreel watch` as a user runs it: the binary in a sandbox HOME, a fake `uv`, PyPI on
// loopback with a newer release, a scan every 0.3 s, output through a pipe, then Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

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

// --every is the interval: each one brings a scan and its table, through a pipe as lines,
// the saved results first.
TEST(WatchE2ETest, ScansAtEachIntervalAndPrintsItsLinesThroughAPipeUntilInterrupted) {
    testing::TempDir home;
    testing::showOnly(home.path(), {"ShowUv"});
    home.writeExecutable(".local/bin/uv", R"SH(#!/bin/sh
[ "$1 $2" = "tool list" ] || exit 2
echo run >> "$HOME/uv-runs"
printf 'ruff v0.3.0\n- ruff\n'
)SH");
    home.write(".local/share/uv/tools/ruff/uv-receipt.toml", "[tool]\nrequirements = [{ name = \"ruff\" }]\n");
    testing::LoopbackServer pypi;
    testing::LoopbackRoute release;
    release.body = R"({"info": {"name": "ruff", "version": "0.4.1"}, "releases": {}})";
    pypi.setRoute("/pypi/ruff/json", release);
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_PYPI", pypi.origin().c_str());

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = testing::startVantreel(home.path(), {"--accept-terms", "watch", "--every", "0.3"}, pipeFds[1]);
    ::close(pipeFds[1]);
    ASSERT_GT(pid, 0);
    Output output(pipeFds[0]);

    std::size_t at = output.waitFor("Results of the last scan\n");
    ASSERT_NE(at, std::string::npos) << output.text() << readFile(testing::logFile(home.path())).value_or("(no log)");
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

}  // namespace
}  // namespace vt
