#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <utility>

namespace vt {

// Bounds how many child processes run at once in the whole program. A freed slot is
// handed straight to a waiter, so a newcomer can never overtake someone already waiting.
// Callers that pass the same stop token are one party (a scanner's step, with any helper
// threads it starts): parties take turns, each in the order it first waited, and within a
// party the oldest waiter goes first. When every party waits with one command, as a
// scanner running its commands one after another does, that is plain arrival order; a
// party that queues many at once cannot make another wait behind all of them. Waiting
// blocks the calling thread; it ends with CancellationError when the caller's stop token
// fires or when cancelAllWaiters() is called. Every method may be called from any thread.
class ConcurrencyGuard {
public:
    // Fixed, not the processor count: the children mostly wait on the network.
    static constexpr int kMaxConcurrentJobs = 12;

    // Holds one slot and gives it back when it goes.
    class Slot {
    public:
        Slot() = default;
        Slot(Slot&& other) noexcept : guard_(std::exchange(other.guard_, nullptr)) {}
        Slot& operator=(Slot&&) = delete;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot() {
            if (guard_ != nullptr) guard_->release();
        }

    private:
        friend class ConcurrencyGuard;
        explicit Slot(ConcurrencyGuard* guard) : guard_(guard) {}
        ConcurrencyGuard* guard_ = nullptr;
    };

    explicit ConcurrencyGuard(int maxConcurrentJobs = kMaxConcurrentJobs);
    ConcurrencyGuard(const ConcurrencyGuard&) = delete;
    ConcurrencyGuard& operator=(const ConcurrencyGuard&) = delete;

    // The program's one guard, created on first use.
    static ConcurrencyGuard& shared();

    // Returns once a slot is ours. Throws CancellationError, without a slot, when the
    // token is or becomes stopped, or when all waiters are cancelled.
    void acquire(std::stop_token stop = {});
    void release();
    [[nodiscard]] Slot hold(std::stop_token stop = {});
    // Every waiting caller fails with CancellationError; slots already held stay held.
    void cancelAllWaiters();

    int maxConcurrentJobs() const noexcept { return maxConcurrentJobs_; }
    int activeJobs() const;
    std::size_t waitingJobs() const;

private:
    struct WaitingJob {
        enum class State { Waiting, Granted, Cancelled };
        State state = State::Waiting;
        std::condition_variable_any wakeup;
    };
    struct Party {
        std::stop_token key;                            // equal tokens share a stop state
        std::deque<std::shared_ptr<WaitingJob>> jobs;  // oldest first, never empty
    };

    void forgetLocked(const std::shared_ptr<WaitingJob>& job);

    const int maxConcurrentJobs_;
    mutable std::mutex mutex_;
    int activeJobs_ = 0;
    std::deque<Party> parties_;  // the next to be served first
};

}  // namespace vt
