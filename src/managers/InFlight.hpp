#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>

#include "base/Cancellation.hpp"

namespace vt {

// Callers asking for the same key at the same time share one run of the work. A waiter
// whose own stop is requested stops waiting; when the caller running the work was
// cancelled, a waiter runs it itself. Thread-safe; no lock is held while the work runs.
template <typename Result>
class InFlight {
public:
    // `onJoin` is called when this caller waits for a run already going.
    Result share(const std::string& key, const std::function<Result()>& work, std::stop_token stop,
                 const std::function<void()>& onJoin = {}) {
        while (true) {
            if (stop.stop_requested()) throw CancellationError();
            std::promise<Result> promise;
            std::shared_future<Result> running;
            bool leader = false;
            {
                std::scoped_lock lock(mutex_);
                if (auto found = running_.find(key); found != running_.end()) {
                    running = found->second;
                } else {
                    leader = true;
                    running = promise.get_future().share();
                    running_[key] = running;
                }
            }
            if (!leader) {
                if (onJoin) onJoin();
                while (running.wait_for(kPoll) != std::future_status::ready) {
                    if (stop.stop_requested()) throw CancellationError();
                }
                try {
                    return running.get();
                } catch (const CancellationError&) {
                    if (stop.stop_requested()) throw;
                    continue;
                }
            }
            try {
                Result result = work();
                finish(key);
                promise.set_value(result);
                return result;
            } catch (...) {
                finish(key);
                promise.set_exception(std::current_exception());
                throw;
            }
        }
    }

private:
    static constexpr auto kPoll = std::chrono::milliseconds(20);

    void finish(const std::string& key) {
        std::scoped_lock lock(mutex_);
        running_.erase(key);
    }

    std::mutex mutex_;
    std::map<std::string, std::shared_future<Result>> running_;
};

}  // namespace vt
