#include "base/RunMarkers.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/ProcessLock.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

// A child process that marks its run and then waits to be killed.
pid_t startMarkedRun(const std::string& folder) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
        RunMarkers markers(folder);
        markers.begin();
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return child;
}

TEST(RunMarkersTest, OnlyRunsThatDiedWithoutExitingAreAbandoned) {
    testing::TempDir root;
    const std::string folder = root.file("Runs");
    EXPECT_TRUE(RunMarkers(folder).abandoned().empty());  // first run ever

    {
        RunMarkers finished(folder);
        finished.begin();
        finished.end();
    }
    EXPECT_TRUE(RunMarkers(folder).abandoned().empty());

    // A run still going elsewhere (a scan) is no sign of a crash.
    pid_t running = startMarkedRun(folder);
    ASSERT_GT(running, 0);
    EXPECT_TRUE(RunMarkers(folder).abandoned().empty());

    ::kill(running, SIGKILL);
    ::waitpid(running, nullptr, 0);
    EXPECT_EQ(RunMarkers(folder).abandoned().size(), 1u);
    EXPECT_EQ(RunMarkers(folder).abandoned().size(), 1u);  // judging alone removes nothing

    RunMarkers next(folder);
    next.begin();  // takes the verdict over: the next run is told nothing
    EXPECT_TRUE(RunMarkers(folder).abandoned().empty());
    next.end();
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST(ProcessLockTest, AnUnusableLockFileIsAnErrorNotABusyLock) {
    try {
        ProcessLock::tryAcquire("/proc/self/Van Treel/scan.lock", ProcessLock::Mode::Exclusive);
        FAIL() << "no error";
    } catch (const ProcessLockError& error) {
        EXPECT_EQ(error.path(), "/proc/self/Van Treel/scan.lock");
        EXPECT_NE(std::string(error.what()).find("Cannot open the lock file /proc/self/Van Treel/scan.lock: "),
                  std::string::npos);
    }
    testing::TempDir root;
    ProcessLock held = ProcessLock::tryAcquire(root.file("scan.lock"), ProcessLock::Mode::Exclusive);
    ASSERT_TRUE(held.isHeld());
    pid_t child = ::fork();
    if (child == 0) {
        // flock locks belong to the open file description: another open in another process conflicts.
        ProcessLock other = ProcessLock::tryAcquire(root.file("scan.lock"), ProcessLock::Mode::Exclusive);
        ::_exit(other.isHeld() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vt
