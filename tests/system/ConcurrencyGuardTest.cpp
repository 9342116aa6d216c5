#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "support/Eventually.hpp"
#include "system/ConcurrencyGuard.hpp"

namespace vt {
namespace {

using testing::eventually;

TEST(ConcurrencyGuardTest, PartiesTakeTurnsSoNoneWaitsBehindAnotherWholeQueue) {
    ConcurrencyGuard guard(1);
    guard.acquire();
    std::stop_source many, one;
    std::mutex mutex;
    std::vector<std::string> served;
    std::vector<std::jthread> waiters;
    auto wait = [&](std::stop_source& party, std::string name) {
        std::size_t before = guard.waitingJobs();
        waiters.emplace_back([&, name, token = party.get_token()] {
            auto slot = guard.hold(token);
            std::scoped_lock lock(mutex);
            served.push_back(name);
        });
        ASSERT_TRUE(eventually([&] { return guard.waitingJobs() == before + 1; }));
    };
    // One party queues three commands at once, as a source checking several environments
    // in parallel does; another then queues one, and a third party one more.
    wait(many, "many-1");
    wait(many, "many-2");
    wait(many, "many-3");
    wait(one, "one");
    std::stop_source late;
    wait(late, "late");
    guard.release();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(served, (std::vector<std::string>{"many-1", "one", "late", "many-2", "many-3"}));
    EXPECT_EQ(guard.activeJobs(), 0);
}

TEST(ConcurrencyGuardTest, CancelledWaitersLeaveWithoutASlot) {
    ConcurrencyGuard guard(1);
    auto held = guard.hold();

    std::stop_source stop;
    std::jthread impatient([&] { EXPECT_THROW(guard.acquire(stop.get_token()), CancellationError); });
    ASSERT_TRUE(eventually([&] { return guard.waitingJobs() == 1; }));
    std::vector<std::jthread> queued;
    for (int i = 0; i < 3; ++i) {
        queued.emplace_back([&] { EXPECT_THROW(guard.acquire(), CancellationError); });
    }
    ASSERT_TRUE(eventually([&] { return guard.waitingJobs() == 4; }));
    stop.request_stop();
    impatient.join();
    EXPECT_EQ(guard.waitingJobs(), 3u);
    guard.cancelAllWaiters();
    for (auto& thread : queued) thread.join();
    EXPECT_EQ(guard.waitingJobs(), 0u);
    EXPECT_EQ(guard.activeJobs(), 1);

    std::stop_source already;
    already.request_stop();
    EXPECT_THROW(guard.acquire(already.get_token()), CancellationError);
    EXPECT_EQ(guard.activeJobs(), 1);
}

TEST(ConcurrencyGuardTest, NeverMoreHoldersThanSlotsUnderContention) {
    ConcurrencyGuard guard(3);
    std::atomic<int> holders{0};
    std::atomic<int> most{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto slot = guard.hold();
                int now = ++holders;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                --holders;
            }
        });
    }
    threads.clear();
    EXPECT_LE(most.load(), 3);
    EXPECT_EQ(guard.activeJobs(), 0);
}

}  // namespace
}  // namespace vt
