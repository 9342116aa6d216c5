#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Eventually.hpp"
#include "support/TempDir.hpp"
#include "system/RunningProcesses.hpp"

namespace vt {
namespace {

pid_t start(const std::string& program) {
    std::string copy = program;
    std::string seconds = "30";
    char* argv[] = {copy.data(), seconds.data(), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp), 0);
    return pid;
}

// A bundle runs when one of its own programs runs; a bundle whose name merely starts the
// same does not, and a program that quit (a zombie not yet reaped) no longer counts.
TEST(RunningProcesses, FindsTheProgramsOfABundleAndTellsAQuitOneFromARunningOne) {
    testing::TempDir dir;
    const std::string bundle = dir.makeFolder("Editor.app");
    const std::string helper = dir.makeFolder("Editor.app/Contents/Frameworks/Helper.app/Contents/MacOS") + "/helper";
    const std::string other = dir.makeFolder("Editor.app.old/Contents/MacOS") + "/editor";
    std::filesystem::copy_file("/bin/sleep", helper);
    std::filesystem::copy_file("/bin/sleep", other);

    EXPECT_TRUE(processesInside(bundle).empty());
    const pid_t inside = start(helper);
    const pid_t beside = start(other);
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(bundle).empty(); }));
    std::vector<RunningProcess> found = processesInside(bundle);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, inside);
    EXPECT_EQ(found[0].executable, std::filesystem::canonical(helper).string());
    EXPECT_TRUE(isProcessRunning(inside));

    ::kill(inside, SIGTERM);
    EXPECT_TRUE(testing::eventually([&] { return !isProcessRunning(inside); }));  // a zombie until reaped
    ::waitpid(inside, nullptr, 0);
    EXPECT_FALSE(isProcessRunning(inside));
    ::kill(beside, SIGKILL);
    ::waitpid(beside, nullptr, 0);

    std::optional<std::string> self = ownExecutablePath();
    ASSERT_TRUE(self);
    EXPECT_TRUE(std::filesystem::is_regular_file(*self));
    // Never ourselves (other tests of this program may run beside us).
    for (const RunningProcess& process : processesInside(std::filesystem::path(*self).parent_path().string())) {
        EXPECT_NE(process.pid, ::getpid());
    }
}

}  // namespace
}  // namespace vt
