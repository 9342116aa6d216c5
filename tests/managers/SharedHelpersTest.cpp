#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "managers/InFlight.hpp"
#include "managers/LatestVersionCache.hpp"
#include "support/Eventually.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using testing::eventually;

// What Yarn, uv and the next registries rely on: half an hour in a file shared by runs, the
// last known version when a look-up fails, a bounded number of look-ups at once, and no
// version kept from another registry.
TEST(LatestVersionCacheTest, KeepsVersionsInAFileForTheTimeLimitAndBoundsTheLookups) {
    testing::TempDir folder{"vt-latest-cache"};
    FakeClock clock;
    auto make = [&] {
        return std::make_unique<LatestVersionCache>(LatestVersionCache::Options{
            .file = folder.file("sub/cache.json"), .concurrency = 4, .clock = &clock, .logName = "Registry"});
    };
    std::map<std::string, std::string> answers{{"a", "1.0"}, {"b", "2.0"}, {"c", "3.0"}};
    std::vector<std::string> asked;
    std::mutex askedMutex;
    LatestVersionCache::Lookup lookup = [&](const std::string& name, std::stop_token) -> std::optional<std::string> {
        {
            std::scoped_lock lock(askedMutex);
            asked.push_back(name);
        }
        if (name == "broken") throw std::runtime_error("HTTP 500");
        auto found = answers.find(name);
        return found == answers.end() ? std::nullopt : std::optional(found->second);
    };
    auto cache = make();
    const std::vector<std::string> names{"a", "b", "a", "gone"};
    EXPECT_EQ(cache->latest(names, lookup, {}, "R1"),
              (std::map<std::string, std::string>{{"a", "1.0"}, {"b", "2.0"}}));
    EXPECT_EQ(asked.size(), 3u) << "a repeated name is asked once";
    ASSERT_TRUE(readFile(folder.file("sub/cache.json")).has_value());

    // Another run inside the half hour reads the file: only the name with no answer is asked.
    clock.advance(std::chrono::seconds(1799));
    asked.clear();
    answers["a"] = "1.1";
    EXPECT_EQ(make()->latest(names, lookup, {}, "R1").at("a"), "1.0");
    EXPECT_EQ(asked, (std::vector<std::string>{"gone"}));

    // Past it, everything is asked again; a failing look-up is logged and the last version
    // known stands in for it.
    clock.advance(std::chrono::seconds(2));
    answers.erase("b");
    LogCapture log;
    std::map<std::string, std::string> latest = cache->latest({"a", "b", "broken"}, lookup, {}, "R1");
    EXPECT_EQ(latest, (std::map<std::string, std::string>{{"a", "1.1"}, {"b", "2.0"}}));
    EXPECT_TRUE(log.contains("broken: HTTP 500"));

    // Versions from another registry are not trusted.
    asked.clear();
    cache->latest({"a"}, lookup, {}, "R2");
    EXPECT_EQ(asked, (std::vector<std::string>{"a"}));

    // An unreadable file is ignored, not fatal.
    writeFileAtomically(folder.file("sub/cache.json"), "{\"versions\": [");
    asked.clear();
    EXPECT_EQ(make()->latest({"c"}, lookup, {}, "R2").at("c"), "3.0");
    EXPECT_EQ(asked.size(), 1u);

    // Forty names, four at a time and never more.
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    LatestVersionCache::Lookup slow = [&](const std::string&, std::stop_token) -> std::optional<std::string> {
        const int now = ++running;
        for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        --running;
        return "9";
    };
    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) many.push_back("p" + std::to_string(i));
    EXPECT_EQ(make()->latest(many, slow, {}, "R3").size(), 40u);
    // Four at most, and more than one at once (a late thread may miss the first wave).
    EXPECT_LE(most, 4);
    EXPECT_GE(most, 2);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(make()->latest({"z"}, slow, stop.get_token(), "R4"), CancellationError);
}

// What Homebrew's outdated query and pip's per-environment listings rely on.
TEST(InFlightTest, CallersAtTheSameTimeShareOneRunAndACancelledLeaderIsReplaced) {
    InFlight<int> inFlight;
    std::atomic<int> runs{0};
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    auto blocking = [&] {
        ++runs;
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return 7;
    };
    std::atomic<int> joined{0};
    int results[3] = {};
    std::jthread leader([&] { results[0] = inFlight.share("k", blocking, {}); });
    EXPECT_TRUE(eventually([&] { return runs > 0; }));
    std::jthread follower([&] { results[1] = inFlight.share("k", blocking, {}, [&] { ++joined; }); });
    // Another key runs on its own.
    EXPECT_EQ(inFlight.share("other", [] { return 1; }, {}), 1);
    EXPECT_TRUE(eventually([&] { return joined > 0; })) << "the second caller started a run of its own";
    {
        std::scoped_lock lock(mutex);
        release = true;
    }
    released.notify_all();
    leader.join();
    follower.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(results[0], 7);
    EXPECT_EQ(results[1], 7);

    // Finished runs are not reused; a failure reaches the caller.
    EXPECT_EQ(inFlight.share("k", [] { return 8; }, {}), 8);
    EXPECT_THROW(inFlight.share("k", []() -> int { throw std::runtime_error("x"); }, {}), std::runtime_error);

    // The leader is stopped: its waiter runs the work itself; a stopped waiter stops waiting.
    std::atomic<bool> leaderStarted{false};
    std::stop_source leaderStop;
    std::jthread stopped([&] {
        EXPECT_THROW(inFlight.share("c",
                                    [&]() -> int {
                                        leaderStarted = true;
                                        while (!leaderStop.stop_requested()) std::this_thread::yield();
                                        throw CancellationError();
                                    },
                                    leaderStop.get_token()),
                     CancellationError);
    });
    EXPECT_TRUE(eventually([&] { return leaderStarted.load(); }));
    std::stop_source waiterStop;
    std::jthread gaveUp([&] {
        EXPECT_THROW(inFlight.share("c", [] { return 0; }, waiterStop.get_token(), [&] { ++joined; }), CancellationError);
    });
    std::jthread replaced([&] { results[2] = inFlight.share("c", [] { return 9; }, {}, [&] { ++joined; }); });
    EXPECT_TRUE(eventually([&] { return joined >= 3; }));
    waiterStop.request_stop();
    gaveUp.join();
    leaderStop.request_stop();
    stopped.join();
    replaced.join();
    EXPECT_EQ(results[2], 9);
}

}  // namespace
}  // namespace vt
