#include "base/RunMarkers.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

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
    // The parent's own end is closed first: a child that dies early ends the read.
    ::close(ready[1]);
    char byte = 0;
    const bool began = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    return began ? child : -1;
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

}  // namespace
}  // namespace vt
