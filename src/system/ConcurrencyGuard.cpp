#include "system/ConcurrencyGuard.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"

namespace vt {

ConcurrencyGuard::ConcurrencyGuard(int maxConcurrentJobs) : maxConcurrentJobs_(std::max(1, maxConcurrentJobs)) {}

ConcurrencyGuard& ConcurrencyGuard::shared() {
    // Never destroyed: threads may still be giving slots back while the program exits.
    static auto* guard = new ConcurrencyGuard();
    return *guard;
}

void ConcurrencyGuard::acquire(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (stop.stop_requested()) throw CancellationError();
    if (activeJobs_ < maxConcurrentJobs_) {
        ++activeJobs_;
        return;
    }
    auto job = std::make_shared<WaitingJob>();
    waitingJobs_.push_back(job);
    job->wakeup.wait(lock, stop, [&] { return job->state != WaitingJob::State::Waiting; });
    if (job->state == WaitingJob::State::Granted) return;
    if (job->state == WaitingJob::State::Waiting) {
        waitingJobs_.erase(std::find(waitingJobs_.begin(), waitingJobs_.end(), job));
    }
    throw CancellationError();
}

void ConcurrencyGuard::release() {
    std::scoped_lock lock(mutex_);
    if (waitingJobs_.empty()) {
        if (activeJobs_ > 0) --activeJobs_;
        return;
    }
    // The slot passes to the oldest waiter directly; the count of active jobs stays.
    std::shared_ptr<WaitingJob> job = std::move(waitingJobs_.front());
    waitingJobs_.pop_front();
    job->state = WaitingJob::State::Granted;
    job->wakeup.notify_one();
}

ConcurrencyGuard::Slot ConcurrencyGuard::hold(std::stop_token stop) {
    acquire(std::move(stop));
    return Slot(this);
}

void ConcurrencyGuard::cancelAllWaiters() {
    std::scoped_lock lock(mutex_);
    for (auto& job : waitingJobs_) {
        job->state = WaitingJob::State::Cancelled;
        job->wakeup.notify_one();
    }
    waitingJobs_.clear();
}

int ConcurrencyGuard::activeJobs() const {
    std::scoped_lock lock(mutex_);
    return activeJobs_;
}

std::size_t ConcurrencyGuard::waitingJobs() const {
    std::scoped_lock lock(mutex_);
    return waitingJobs_.size();
}

}  // namespace vt
