#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Eventually.hpp"
#include "support/Sleeper.hpp"
#include "support/TempDir.hpp"
#include "system/RunningProcesses.hpp"

namespace vt {
namespace {

using testing::Sleeper;

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
    Sleeper inside(helper);
    Sleeper beside(other);
    ASSERT_GT(inside.pid(), 0);
    ASSERT_GT(beside.pid(), 0);
    const pid_t pid = inside.pid();
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(bundle).empty(); }));
    std::vector<RunningProcess> found = processesInside(bundle);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, pid);
    EXPECT_EQ(found[0].executable, std::filesystem::canonical(helper).string());
    EXPECT_TRUE(isProcessRunning(pid));

    ::kill(pid, SIGTERM);
    EXPECT_TRUE(testing::eventually([&] { return !isProcessRunning(pid); }));  // a zombie until reaped
    inside.reap();
    EXPECT_FALSE(isProcessRunning(pid));
    EXPECT_TRUE(processesInside("/").empty());

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
