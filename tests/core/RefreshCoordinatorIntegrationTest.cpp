// The scan's chains with real processes: a source's check starts when its own listing
// ends, time limits and cancellation end the processes of the steps they stop.
#include "core/RefreshCoordinator.hpp"

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "system/CommandRunner.hpp"
#include "system/ConcurrencyGuard.hpp"
#include "support/Eventually.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

using testing::eventually;

Package item(std::string name, std::string version) {
    return Package{.name = std::move(name), .version = std::move(version), .type = PackageType::NpmGlobal};
}

// Ordered record of what the scanners did, from any thread.
class Events {
public:
    void add(std::string event) {
        std::scoped_lock lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    std::vector<std::string> list() const {
        std::scoped_lock lock(mutex_);
        return events_;
    }
    std::ptrdiff_t position(const std::string& event) const {
        auto all = list();
        auto it = std::find(all.begin(), all.end(), event);
        return it == all.end() ? -1 : it - all.begin();
    }
    // Waits (at most `limit`) for an event; a scan that runs phase after phase never sees it.
    bool waitFor(const std::string& event, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

class RefreshCoordinatorIntegrationTest : public ::testing::Test {
protected:
    ScannerPipeline pipeline(std::string id, bool core) {
        ScannerPipeline p;
        p.id = p.source = p.logTag = p.successDetails = id;
        p.isCore = core;
        p.timeout = 20s;
        p.run = [this, id](std::stop_token) {
            events_.add(id + ":listed");
            return ScanOutcome{{item(id + "-tool", "1.0.0")}, std::nullopt};
        };
        p.checkUpdates = [this, id](std::stop_token) {
            events_.add(id + ":checked");
            return ScanOutcome{};
        };
        return p;
    }

    // Runs a child that records its process id, then sleeps until it is killed.
    ScanOutcome runHungProcess(const std::string& name, std::stop_token stop) {
        CommandRequest request;
        request.command = script_;
        request.arguments = {folder_.file(name + ".pid")};
        request.timeout = 60;
        events_.add(name + ":started");
        runner_.execute(request, stop);
        return {};
    }

    // The process id the child recorded, 0 until it has.
    pid_t pidOf(const std::string& name) {
        std::ifstream file(folder_.file(name + ".pid"));
        pid_t pid = 0;
        return file >> pid && pid > 0 ? pid : 0;
    }
    bool processStarted(const std::string& name) { return pidOf(name) != 0; }
    bool processEnded(const std::string& name) { return pidOf(name) != 0 && kill(pidOf(name), 0) != 0; }

    // Each scanner's states in the order the model showed them, repeats removed.
    void watchStates() {
        progress_.addObserver([this](const ScanProgressSnapshot& snapshot) {
            std::scoped_lock lock(statesMutex_);
            for (const auto& status : snapshot.scannerStatuses) {
                auto& seen = states_[status.id];
                std::string state(toString(status.state.kind));
                if (seen.empty() || seen.back() != state) seen.push_back(state);
                if (status.state.kind == ScannerState::Kind::Finished) events_.add(status.id + ":shown-done");
                if (status.state.kind == ScannerState::Kind::Failed) events_.add(status.id + ":shown-failed");
            }
        });
    }

    std::vector<std::string> states(const std::string& id) {
        std::scoped_lock lock(statesMutex_);
        return states_[id];
    }

    testing::TempDir folder_;
    std::string script_ = folder_.writeExecutable("hang", "#!/bin/sh\necho $$ > \"$1\"\nexec /bin/sleep 30\n");
    ConcurrencyGuard guard_;
    CommandRunner runner_{CommandRunner::Options{&guard_, [] { return std::optional<std::string>(); }, nullptr}};
    ScanProgressModel progress_;
    Events events_;
    std::mutex statesMutex_;
    std::map<std::string, std::vector<std::string>> states_;
    std::vector<ScannerPipeline> pipelines_;
};

TEST_F(RefreshCoordinatorIntegrationTest, ChecksBeginAsEachListingEndsAndProgressFollows) {
    pipelines_ = {pipeline("slow", true), pipeline("fast", false)};
    // The slow listing lasts until the fast source has finished its check; run phase
    // after phase, the check would wait for it and the listing would give up first.
    pipelines_[0].run = [this](std::stop_token) {
        events_.add(events_.waitFor("fast:checked", 5s) ? "slow:listed" : "slow:gave-up");
        return ScanOutcome{{item("slow-tool", "1.0.0")}, std::nullopt};
    };
    pipelines_[1].checkUpdates = [this](std::stop_token) {
        auto snapshot = progress_.snapshot();
        EXPECT_EQ(snapshot.scanner("fast")->state.kind, ScannerState::Kind::Checking);
        EXPECT_EQ(snapshot.scanner("slow")->state.kind, ScannerState::Kind::Scanning);
        EXPECT_EQ(snapshot.completedScannerCount(), 0);
        Package update = item("fast-tool", "1.0.0");
        update.latestVersion = "2.0.0";
        events_.add("fast:checked");
        return ScanOutcome{{update}, std::nullopt};
    };
    watchStates();
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; });
    LogCapture log;
    RefreshResult result = refresh.run(true, {});

    EXPECT_EQ(events_.position("slow:gave-up"), -1);
    EXPECT_LT(events_.position("fast:checked"), events_.position("slow:listed"));
    EXPECT_LT(events_.position("slow:listed"), events_.position("slow:checked"));
    EXPECT_EQ(result.packagesByScanner["fast"].at(0).latestVersion, "2.0.0");
    EXPECT_EQ(result.packagesByScanner["slow"].size(), 1u);
    EXPECT_TRUE(result.failedScanners.empty());
    const std::vector<std::string> chain = {"waiting", "scanning", "checking", "finished"};
    EXPECT_EQ(states("fast"), chain);
    EXPECT_EQ(states("slow"), chain);
    EXPECT_EQ(states(std::string(ScanProgressModel::kPostScanStatusID)),
              (std::vector<std::string>{"waiting", "scanning", "finished"}));
    EXPECT_EQ(progress_.snapshot().completedScannerCount(), 3);
    EXPECT_TRUE(log.contains("Inventory of fast done: 1"));
    EXPECT_TRUE(log.contains("Update check of fast done: 1"));
    EXPECT_TRUE(log.contains("Core scan done"));
}

TEST_F(RefreshCoordinatorIntegrationTest, HungCheckTimesOutWithoutHoldingBackTheOthers) {
    pipelines_ = {pipeline("hung", true), pipeline("other", false)};
    pipelines_[0].timeout = 5s;
    pipelines_[0].checkUpdates = [this](std::stop_token stop) { return runHungProcess("hung", stop); };
    // Finishes only once the hung check runs, so its result comes while the hung one waits.
    pipelines_[1].run = [this](std::stop_token) {
        events_.waitFor("hung:started", 30s);
        return ScanOutcome{{item("other-tool", "1.0.0")}, std::nullopt};
    };
    watchStates();
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; });
    LogCapture log;
    RefreshResult result = refresh.run(true, {});

    EXPECT_EQ(progress_.snapshot().scanner("hung")->state, ScannerState::failed("Timeout"));
    EXPECT_EQ(result.failedScanners, (std::map<std::string, std::string>{{"hung", "Timeout"}}));
    EXPECT_EQ(result.packagesByScanner["hung"].size(), 1u);  // its listing is kept
    EXPECT_EQ(result.packagesByScanner["other"].size(), 1u);
    EXPECT_NE(events_.position("other:shown-done"), -1);
    EXPECT_LT(events_.position("other:shown-done"), events_.position("hung:shown-failed"));
    EXPECT_TRUE(log.contains("Scan of hung timed out"));
    EXPECT_FALSE(result.interrupted);
    EXPECT_TRUE(eventually([&] { return processEnded("hung"); }));
}

TEST_F(RefreshCoordinatorIntegrationTest, ExtendedBoundEndsExtendedSourcesStillListing) {
    pipelines_ = {pipeline("core", true), pipeline("stuck", false), pipeline("quick", false)};
    pipelines_[1].run = [this](std::stop_token stop) { return runHungProcess("stuck", stop); };
    // The core source outlasts the bound: the bound is not its own.
    pipelines_[0].run = [this](std::stop_token) {
        events_.waitFor("stuck:shown-failed", 30s);
        return ScanOutcome{{item("core-tool", "1.0.0")}, std::nullopt};
    };
    watchStates();
    RefreshCoordinator::Options options;
    options.extendedPhaseLimit = 3s;  // long enough for `quick` on a busy machine
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options);
    RefreshResult result = refresh.run(true, {});

    auto snapshot = progress_.snapshot();
    EXPECT_TRUE(result.interrupted);
    EXPECT_EQ(snapshot.scanner("stuck")->state, ScannerState::failed("Timeout"));
    EXPECT_EQ(result.failedScanners, (std::map<std::string, std::string>{{"stuck", "Timeout"}}));
    EXPECT_EQ(snapshot.scanner("quick")->state.kind, ScannerState::Kind::Finished);
    EXPECT_EQ(snapshot.scanner("core")->state.kind, ScannerState::Kind::Finished);
    EXPECT_EQ(result.packagesByScanner["core"].size(), 1u);
    EXPECT_NE(events_.position("core:checked"), -1);
    EXPECT_TRUE(eventually([&] { return processEnded("stuck"); }));
}

TEST_F(RefreshCoordinatorIntegrationTest, CancellingEndsEveryChildOfListingsAndChecks) {
    pipelines_ = {pipeline("listing", true), pipeline("checking", false), pipeline("done", false)};
    pipelines_[0].run = [this](std::stop_token stop) { return runHungProcess("listing", stop); };
    pipelines_[1].checkUpdates = [this](std::stop_token stop) { return runHungProcess("checking", stop); };
    std::stop_source stop;
    std::jthread canceller([&] {
        // The quick source must be done first, or the stop would also catch it on a busy machine.
        auto ready = [&] {
            const ScanProgressSnapshot snapshot = progress_.snapshot();
            const ScannerStatus* done = snapshot.scanner("done");
            return processStarted("listing") && processStarted("checking") && done != nullptr &&
                   done->state.kind == ScannerState::Kind::Finished;
        };
        if (eventually(ready)) stop.request_stop();
    });
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; });
    RefreshResult result = refresh.run(true, stop.get_token());

    ASSERT_TRUE(stop.stop_requested());
    EXPECT_TRUE(result.cancelled);
    auto snapshot = progress_.snapshot();
    EXPECT_EQ(snapshot.scanner("listing")->state.kind, ScannerState::Kind::Cancelled);
    EXPECT_EQ(snapshot.scanner("checking")->state.kind, ScannerState::Kind::Cancelled);
    EXPECT_EQ(snapshot.scanner("done")->state.kind, ScannerState::Kind::Finished);
    EXPECT_TRUE(result.failedScanners.empty());
    EXPECT_TRUE(eventually([&] { return processEnded("listing") && processEnded("checking"); }));
    EXPECT_EQ(guard_.activeJobs(), 0);
}

}  // namespace
}  // namespace vt
