#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "support/Eventually.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/DesktopLaunch.hpp"

namespace vt {
namespace {

// A relaunched application is the user's: it must not carry our tokens or proxies, must
// keep the display, and must survive the terminal we were started from.
TEST(DesktopLaunch, StartsAProgramInItsOwnSessionWithTheDesktopVariablesOnly) {
    testing::TempDir dir;
    testing::ScopedEnvironment secret("GITHUB_TOKEN", "ghp_not_for_children");
    testing::ScopedEnvironment preload("LD_PRELOAD", "/nowhere/libspy.so");
    testing::ScopedEnvironment display("DISPLAY", ":7");
    const std::string report = dir.file("report");
    const std::string program = dir.writeExecutable(
        "app",
        "#!/bin/sh\n"
        "out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2); leaked=no; [ -e /proc/$$/fd/$2 ] && leaked=yes\n"
        "{ env; echo \"stat=$(cat /proc/$$/stat)\"; echo \"out=$out err=$err leaked=$leaked\"; } > \"$1.part\"\n"
        "mv \"$1.part\" \"$1\"\n");
    // A descriptor of ours without close-on-exec, as a library might leave one.
    const int ours = ::open(dir.write("ours", "").c_str(), O_RDONLY);
    ASSERT_GE(ours, 0);

    launchOnDesktop({program, report, std::to_string(ours)});

    ASSERT_TRUE(testing::eventually([&] { return std::filesystem::exists(report); }));
    const std::string seen = readFile(report).value_or("");
    EXPECT_NE(seen.find("DISPLAY=:7\n"), std::string::npos);
    EXPECT_NE(seen.find("HOME="), std::string::npos);
    EXPECT_EQ(seen.find("GITHUB_TOKEN"), std::string::npos);
    EXPECT_EQ(seen.find("LD_PRELOAD"), std::string::npos);

    // Nothing of ours: not our output (a pipe someone waits on), not our other descriptors.
    EXPECT_NE(seen.find("out=/dev/null err=/dev/null leaked=no"), std::string::npos) << seen;
    ::close(ours);

    // /proc/PID/stat: pid (comm) state ppid pgrp session ...
    std::istringstream stat(seen.substr(seen.find("stat=") + 5));
    std::string pid, command, state, parent, group, session;
    stat >> pid >> command >> state >> parent >> group >> session;
    ASSERT_FALSE(pid.empty()) << seen;
    EXPECT_EQ(session, pid);

    EXPECT_THROW(launchOnDesktop({dir.file("missing")}), std::system_error);
    EXPECT_THROW(launchOnDesktop({}), std::system_error);
}

}  // namespace
}  // namespace vt
