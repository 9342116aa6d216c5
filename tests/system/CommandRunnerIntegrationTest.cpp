#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Clock.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "support/Eventually.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/ConcurrencyGuard.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using testing::eventually;

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The process's state letter and parent from /proc, or nothing when it is gone.
std::optional<std::pair<char, int>> processStat(const std::string& pid) {
    auto stat = readFile("/proc/" + pid + "/stat");
    auto close = stat ? stat->rfind(')') : std::string::npos;
    char state = 0;
    int parent = 0;
    if (close == std::string::npos || std::sscanf(stat->c_str() + close + 2, "%c %d", &state, &parent) != 2) {
        return std::nullopt;
    }
    return std::pair{state, parent};
}

std::optional<char> processState(pid_t pid) {
    auto stat = processStat(std::to_string(pid));
    return stat ? std::optional<char>(stat->first) : std::nullopt;
}

std::vector<pid_t> zombieChildren() {
    std::vector<pid_t> zombies;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (processStat(name) == std::pair{'Z', static_cast<int>(::getpid())}) zombies.push_back(std::stoi(name));
    }
    return zombies;
}

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

pid_t waitForPid(const std::string& file) {
    pid_t pid = 0;
    eventually([&] {
        auto text = readFile(file);
        if (!text || trim(*text).empty()) return false;
        pid = std::stoi(trim(*text));
        return true;
    });
    return pid;
}

std::map<std::string, std::string> parseEnvironment(const std::string& text) {
    std::map<std::string, std::string> environment;
    for (auto line : splitLines(text)) {
        auto equals = line.find('=');
        if (equals != std::string_view::npos) environment[std::string(line.substr(0, equals))] = line.substr(equals + 1);
    }
    return environment;
}

class CommandRunnerIntegrationTest : public ::testing::Test {
protected:
    CommandRunnerIntegrationTest() : runner_(options(guard_)) {}

    CommandRunner::Options options(ConcurrencyGuard& guard) {
        CommandRunner::Options options;
        options.guard = &guard;
        options.askpassScript = [this]() -> std::optional<std::string> { return folder_.file("askpass.sh"); };
        options.clock = &clock_;
        return options;
    }

    std::string script(const std::string& name, const std::string& body) {
        return folder_.writeExecutable(name, "#!/bin/sh\n" + body);
    }

    static CommandRequest request(std::string command, std::vector<std::string> arguments = {}) {
        CommandRequest request;
        request.command = std::move(command);
        request.arguments = std::move(arguments);
        return request;
    }

    testing::TempDir folder_{"vt-runner"};
    FakeClock clock_;
    ConcurrencyGuard guard_;
    CommandRunner runner_;
};

TEST_F(CommandRunnerIntegrationTest, RunsTheToolDirectlyWithArgumentsInputAndWorkingFolder) {
    const std::string tool = script("tool.sh", "printf '%s|' \"$@\"; pwd; cat; echo warning >&2\n");
    auto run = request(tool, {"two words", "$HOME", "*", ""});
    run.standardInput = "input\n";
    auto result = runner_.execute(run);
    EXPECT_EQ(result.standardOutput, "two words|$HOME|*||/tmp\ninput\n");
    EXPECT_EQ(result.standardError, "warning\n");
    EXPECT_EQ(result.exitCode, 0);

    run.currentDirectory = folder_.path();
    run.standardInput.reset();
    EXPECT_EQ(runner_.execute(run).standardOutput, "two words|$HOME|*||" + folder_.path() + "\n");

    // A grandchild that outlives the tool keeps our pipe open; the tool's end is the run's end.
    const std::string detaching = script("detaching.sh", "sleep 30 &\necho $! > \"$1\"\necho done\n");
    auto start = SteadyClock::now();
    EXPECT_EQ(runner_.execute(request(detaching, {folder_.file("daemon")})).standardOutput, "done\n");
    EXPECT_LT(secondsSince(start), 5.0);
    ::kill(waitForPid(folder_.file("daemon")), SIGKILL);

    const std::string failing = script("fails.sh", "echo partial; exit 3\n");
    EXPECT_EQ(runner_.execute({.command = failing, .allowNonZeroExit = true}),
              (ShellCommandResult{"partial\n", "", 3}));
}

TEST_F(CommandRunnerIntegrationTest, ToolsStartedWhileAScanRunsYieldToItAndOthersDoNot) {
    // Asked by what the tool starts: the nice value is the tool's from its start.
    const auto run = request(script("nice.sh", "nice\n"));
    errno = 0;
    const int ours = ::getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    const std::string normal = std::to_string(ours) + "\n";
    const std::string yielding = std::to_string(std::min(ours + CommandRunner::kYieldingNiceIncrement, 19)) + "\n";
    ASSERT_NE(normal, yielding) << "this test runs at the lowest priority already";

    EXPECT_EQ(runner_.execute(run).standardOutput, normal);
    {
        CommandRunner::YieldingScope scan(runner_);
        EXPECT_EQ(runner_.execute(run).standardOutput, yielding);
        {
            CommandRunner::YieldingScope overlapping(runner_);
            EXPECT_EQ(runner_.execute(run).standardOutput, yielding);  // not twice as low
        }
        EXPECT_EQ(runner_.execute(run).standardOutput, yielding);
    }
    EXPECT_EQ(runner_.execute(run).standardOutput, normal);
}

TEST_F(CommandRunnerIntegrationTest, FailuresAreTypedWithTheirExactTexts) {
    auto descriptionOf = [&](const CommandRequest& run, std::stop_token stop = {}) {
        return testing::thrown<CommandError>([&] { runner_.execute(run, stop); }).value().description();
    };
    EXPECT_EQ(descriptionOf(request(script("a.sh", "echo x; exit 1\n"))), "Command failed with exit code 1: x\n");
    EXPECT_EQ(descriptionOf(request(script("b.sh", "echo ignored; echo bad >&2; exit 2\n"))),
              "Command failed with exit code 2: bad\n");
    EXPECT_EQ(descriptionOf(request(script("c.sh", "kill -9 $$\n"))), "Command failed with exit code 9: ");

    const std::string counter = folder_.file("starts");
    const std::string counted = script("counted.sh", "echo started >> '" + counter + "'\n");
    const std::string plain = folder_.write("plain.sh", "#!/bin/sh\necho hi >> '" + counter + "'\n");
    EXPECT_EQ(descriptionOf(request(folder_.file("missing"))), "Invalid command: " + folder_.file("missing"));
    EXPECT_EQ(descriptionOf(request(plain)), "Invalid command: " + plain);
    EXPECT_EQ(descriptionOf(request(folder_.path())), "Invalid command: " + folder_.path());
    EXPECT_EQ(descriptionOf(request("counted.sh")), "Invalid command: counted.sh");

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(descriptionOf(request(counted), stopped.get_token()), "Command was cancelled");
    EXPECT_FALSE(std::filesystem::exists(counter)) << "nothing may start";

    const CommandRequest elsewhere{.command = counted, .currentDirectory = folder_.file("no-such-folder")};
    EXPECT_THROW(runner_.execute(elsewhere), std::system_error);
    EXPECT_EQ(guard_.activeJobs(), 0);
    EXPECT_TRUE(zombieChildren().empty());
}

TEST_F(CommandRunnerIntegrationTest, ChildGetsTheMergedEnvironmentAndOnlyOurNetworkSettings) {
    testing::ScopedEnvironment secret("VT_RUNNER_SECRET", "leak");
    testing::ScopedEnvironment certificates("NODE_EXTRA_CA_CERTS", "/etc/corp/ca.pem");
    testing::ScopedEnvironment proxy("HTTPS_PROXY", "http://proxy.corp:3128");
    testing::ScopedEnvironment lowerProxy("no_proxy", "localhost");
    testing::ScopedEnvironment unset("ALL_PROXY", nullptr);
    CommandRunner runner(options(guard_));  // reads our environment when it is made

    auto environment = parseEnvironment(runner.execute(request("/usr/bin/env")).standardOutput);
    EXPECT_EQ(environment.count("VT_RUNNER_SECRET"), 0u);
    EXPECT_EQ(environment.count("ALL_PROXY"), 0u);
    EXPECT_EQ(environment["NODE_EXTRA_CA_CERTS"], "/etc/corp/ca.pem");
    EXPECT_EQ(environment["HTTPS_PROXY"], "http://proxy.corp:3128");
    EXPECT_EQ(environment["no_proxy"], "localhost");
    EXPECT_EQ(environment["PATH"], runner.defaultEnvironment().at("PATH"));
    EXPECT_EQ(environment["HOMEBREW_NO_AUTO_UPDATE"], "1");
    for (const auto& [name, value] : environment) {
        bool known = runner.defaultEnvironment().count(name) != 0 || CommandRunner::networkEnvironment().count(name) != 0 ||
                     CommandRunner::versionManagerEnvironment().count(name) != 0;
        EXPECT_TRUE(known || name == "PWD") << name << " was inherited";
    }

    environment = parseEnvironment(runner.execute({.command = "/usr/bin/env",
                                                   .environment = {{"PATH", folder_.path()},
                                                                   {"NODE_EXTRA_CA_CERTS", "/mine.pem"},
                                                                   {"EXTRA", "1"}}})
                                       .standardOutput);
    EXPECT_EQ(environment["PATH"], folder_.path());
    EXPECT_EQ(environment["NODE_EXTRA_CA_CERTS"], "/mine.pem");
    EXPECT_EQ(environment["EXTRA"], "1");
    EXPECT_EQ(environment.count("SUDO_ASKPASS"), 0u) << "only Homebrew gets the password prompt";
}

// A locale the system lacks makes every shell script warn and some tools fail: children get
// one that exists, with UTF-8; the user's PATH comes first (relative entries left out), and
// what picks a version manager's version comes along.
TEST_F(CommandRunnerIntegrationTest, ChildrenGetALocaleThatExistsAndTheUsersPathFirst) {
    testing::ScopedEnvironment path("PATH", (folder_.file("shims") + ":bin:/usr/bin").c_str());
    testing::ScopedEnvironment version("PYENV_VERSION", "3.11.4");
    testing::ScopedEnvironment secret("VT_RUNNER_SECRET", "leak");
    CommandRunner runner(options(guard_));
    // A tool like uv's installer script: fails when the shell cannot set the locale it is given.
    const std::string picky = script("picky.sh", R"(complaint=$(/bin/bash -c 'exit 0' 2>&1)
[ -z "$complaint" ] || { echo "$complaint" >&2; exit 1; }
/usr/bin/locale charmap
echo "$PATH"
echo "$PYENV_VERSION${VT_RUNNER_SECRET:-}"
)");
    ShellCommandResult result = runner.execute(request(picky));
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
    const std::vector<std::string_view> lines = splitLines(result.standardOutput);
    ASSERT_EQ(lines.size(), 3u) << result.standardOutput;
    EXPECT_EQ(lines[0], "UTF-8");
    EXPECT_TRUE(startsWith(lines[1], folder_.file("shims") + ":/usr/bin:/bin:")) << lines[1];
    EXPECT_FALSE(contains(lines[1], ":bin:")) << lines[1];
    EXPECT_EQ(lines[2], "3.11.4");
}

TEST_F(CommandRunnerIntegrationTest, HomebrewGetsThePasswordPromptUnlessSuppressed) {
    const std::string brew = script("bin/brew", "/usr/bin/env\n");
    const std::string askpass = folder_.file("askpass.sh");
    auto environmentOf = [&](CommandRequest run) { return parseEnvironment(runner_.execute(run).standardOutput); };

    EXPECT_EQ(environmentOf(request(brew, {"upgrade"}))["SUDO_ASKPASS"], askpass);
    auto throughEnv = request("/usr/bin/env", {"brew", "upgrade"});
    throughEnv.environment["PATH"] = folder_.file("bin");
    EXPECT_EQ(environmentOf(throughEnv)["SUDO_ASKPASS"], askpass);
    auto suppressed = request(brew, {"upgrade"});
    suppressed.environment["VT_SUPPRESS_SUDO_ASKPASS"] = "1";
    auto environment = environmentOf(suppressed);
    EXPECT_EQ(environment.count("SUDO_ASKPASS"), 0u);
    EXPECT_EQ(environment["VT_SUPPRESS_SUDO_ASKPASS"], "1");

    CommandRunner::Options noPrompt = options(guard_);
    noPrompt.askpassScript = [] { return std::optional<std::string>(); };
    CommandRunner withoutScript(noPrompt);
    EXPECT_EQ(parseEnvironment(withoutScript.execute(request(brew, {"upgrade"})).standardOutput).count("SUDO_ASKPASS"),
              0u);
}

TEST_F(CommandRunnerIntegrationTest, TimeoutKillsTheWholeGroupEvenWhenItIgnoresSigterm) {
    // The child and its grandchild both ignore SIGTERM: only SIGKILL, half a second on, ends them.
    const std::string stubborn = script("stubborn.sh",
                                        "trap '' TERM\necho $$ > \"$1\"\nsleep 30 &\necho $! > \"$2\"\n"
                                        "echo partial\nwait\n");
    // Two seconds: time for the shell to reach its trap on a busy machine.
    const CommandRequest run{
        .command = stubborn, .arguments = {folder_.file("child"), folder_.file("grandchild")}, .timeout = 2};
    auto start = SteadyClock::now();
    EXPECT_THAT([&] { runner_.execute(run); },
                ::testing::ThrowsMessage<CommandError>(::testing::StrEq("Command timed out")));
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 2.45);
    EXPECT_LT(elapsed, 15.0);
    pid_t child = waitForPid(folder_.file("child"));
    pid_t grandchild = waitForPid(folder_.file("grandchild"));
    ASSERT_GT(child, 0);
    ASSERT_GT(grandchild, 0);
    EXPECT_FALSE(processState(child).has_value()) << "the child must be reaped";
    EXPECT_TRUE(eventually([&] { return !testing::isRunning(grandchild); }));
    EXPECT_TRUE(zombieChildren().empty());

    EXPECT_EQ(guard_.activeJobs(), 0);
}

TEST_F(CommandRunnerIntegrationTest, CancelAllKillsRunningChildrenAndFailsQueuedCallers) {
    ConcurrencyGuard two(2);
    CommandRunner runner(options(two));
    const std::string sleeper = script("sleeper.sh", "echo $$ > \"$1\"\nexec sleep 30\n");
    std::atomic<int> cancelled{0};
    std::vector<std::jthread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&, i] {
            try {
                runner.execute(request(sleeper, {folder_.file("pid" + std::to_string(i))}));
            } catch (const CancellationError&) {
                ++cancelled;
            }
        });
        if (i < 2) waitForPid(folder_.file("pid" + std::to_string(i)));
    }
    ASSERT_TRUE(eventually([&] { return two.waitingJobs() == 2; }));
    auto start = SteadyClock::now();
    runner.cancelActiveCommands();
    callers.clear();
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_EQ(cancelled.load(), 4);
    EXPECT_FALSE(std::filesystem::exists(folder_.file("pid2"))) << "queued callers must not start";
    EXPECT_FALSE(processState(waitForPid(folder_.file("pid0"))).has_value());
    EXPECT_TRUE(zombieChildren().empty());
    EXPECT_EQ(two.activeJobs(), 0);
    EXPECT_EQ(runner.execute(request("/bin/echo", {"still", "works"})).standardOutput, "still works\n");
}

TEST_F(CommandRunnerIntegrationTest, TwoIdenticalBrewListsWithinTenSecondsStartOneProcess) {
    const std::string starts = folder_.file("starts");
    const std::string brew = script("bin/brew",
                                    "echo \"$*\" >> '" + starts + "'\necho \"listing $*\"\n"
                                    "[ \"$1\" = outdated ] && exit 1\nexit 0\n");
    auto startCount = [&] { return splitLines(readFile(starts).value_or("")).size(); };
    LogCapture capture;

    auto list = request(brew, {"list", "--formula"});
    auto first = runner_.execute(list);
    EXPECT_EQ(runner_.execute(list), first);
    EXPECT_EQ(startCount(), 1u);
    EXPECT_TRUE(capture.contains("Cached result: brew list --formula"));

    runner_.execute(request(brew, {"list", "--cask"}));
    auto otherEnvironment = list;
    otherEnvironment.environment["HOMEBREW_COLOR"] = "1";
    runner_.execute(otherEnvironment);
    auto otherFolder = list;
    otherFolder.currentDirectory = folder_.path();
    runner_.execute(otherFolder);
    EXPECT_EQ(startCount(), 4u) << "arguments, environment and folder are all part of the key";

    auto withInput = list;
    withInput.standardInput = "";
    runner_.execute(withInput);
    runner_.execute(withInput);
    runner_.execute(request(brew, {"upgrade"}));
    runner_.execute(request(brew, {"upgrade"}));
    EXPECT_EQ(startCount(), 8u) << "neither input nor changing commands are cached";

    clock_.advance(9s);
    runner_.execute(list);
    EXPECT_EQ(startCount(), 8u);
    clock_.advance(2s);
    runner_.execute(list);
    EXPECT_EQ(startCount(), 9u) << "ten seconds at most";
    runner_.invalidateCache("brew");
    runner_.execute(list);
    EXPECT_EQ(startCount(), 10u);

    auto outdated = request(brew, {"outdated"});
    EXPECT_THROW(runner_.execute(outdated), CommandError);
    EXPECT_THROW(runner_.execute(outdated), CommandError);
    EXPECT_EQ(startCount(), 12u) << "a failure is not cached";
    outdated.allowNonZeroExit = true;
    EXPECT_EQ(runner_.execute(outdated).exitCode, 1);
    EXPECT_EQ(runner_.execute(outdated).exitCode, 1);
    EXPECT_EQ(startCount(), 13u) << "an allowed non-zero exit is";
}

TEST_F(CommandRunnerIntegrationTest, StreamedChunksArriveWhileTheChildRunsAndStayWhole) {
    // The child waits for a file that only the handler of its first line creates: unless
    // chunks are handed over live, this times out.
    const std::string go = folder_.file("go");
    const std::string talker = script("talker.sh",
                                      "echo first\nwhile [ ! -e '" + go + "' ]; do sleep 0.01; done\n"
                                      "echo second >&2\nprintf '\\303'\nsleep 0.1\nprintf '\\251\\377'\n");
    std::mutex mutex;
    std::vector<std::string> outputChunks;
    std::vector<std::string> errorChunks;
    auto result = runner_.executeStreaming(
        {.command = talker, .timeout = 10},
        [&](std::string_view chunk) {
            std::scoped_lock lock(mutex);
            outputChunks.emplace_back(chunk);
            if (chunk == "first\n") folder_.write("go", "");
        },
        [&](std::string_view chunk) {
            std::scoped_lock lock(mutex);
            errorChunks.emplace_back(chunk);
        });
    ASSERT_FALSE(outputChunks.empty());
    EXPECT_EQ(outputChunks.front(), "first\n");
    EXPECT_EQ(join(outputChunks, ""), "first\n\xC3\xA9\xEF\xBF\xBD");
    EXPECT_EQ(result.standardOutput, join(outputChunks, ""));
    EXPECT_EQ(join(errorChunks, ""), "second\n");
    EXPECT_EQ(result.standardError, "second\n");
}

TEST_F(CommandRunnerIntegrationTest, FloodsOfOutputAndUnreadInputNeitherDeadlockNorBlock) {
    const std::string flood = script("flood.sh", "head -c 3000000 /dev/zero >&2\nhead -c 20000000 /dev/zero\n");
    // Time limits turn a deadlock into a failure instead of a hung test.
    auto result = runner_.execute({.command = flood, .timeout = 60});
    EXPECT_EQ(result.standardOutput.size(), 20'000'000u);
    EXPECT_EQ(result.standardError.size(), 3'000'000u);

    const std::string input(10'000'000, 'x');
    EXPECT_EQ(runner_.execute({.command = "/bin/cat", .standardInput = input, .timeout = 60}).standardOutput.size(),
              input.size());

    const CommandRequest deaf{.command = "/bin/sleep", .arguments = {"30"}, .standardInput = input, .timeout = 0.5};
    auto start = SteadyClock::now();
    EXPECT_THROW(runner_.execute(deaf), CommandError);
    EXPECT_LT(secondsSince(start), 5.0);

    // And SIGPIPE did not end us.
    EXPECT_EQ(runner_.execute({.command = "/bin/true", .standardInput = input}).exitCode, 0);
}

TEST_F(CommandRunnerIntegrationTest, AThousandRunsLeakNoDescriptorAndNoZombie) {
    const std::string failing = script("fails.sh", "echo nope >&2\nexit 4\n");
    runner_.execute(request("/bin/true"));  // first-use allocations
    const std::size_t before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        if (i % 100 == 1) {
            const CommandRequest slow{.command = "/bin/sleep", .arguments = {"5"}, .timeout = 0.01};
            EXPECT_THROW(runner_.execute(slow), CommandError);
        } else if (i % 50 == 2) {
            EXPECT_THROW(runner_.execute(request(failing)), CommandError);
        } else if (i % 10 == 3) {
            EXPECT_EQ(runner_.execute({.command = "/bin/cat", .standardInput = "x"}).standardOutput, "x");
        } else if (i % 100 == 4) {
            std::stop_source stop;
            stop.request_stop();
            EXPECT_THROW(runner_.execute(request("/bin/true"), stop.get_token()), CommandError);
        } else {
            runner_.execute(request("/bin/true"));
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_TRUE(zombieChildren().empty());
}

}  // namespace
}  // namespace vt
