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
    auto party = std::find_if(parties_.begin(), parties_.end(), [&](const Party& p) { return p.key == stop; });
    if (party == parties_.end()) {
        parties_.push_back(Party{stop, {job}});
    } else {
        party->jobs.push_back(job);
    }
    job->wakeup.wait(lock, stop, [&] { return job->state != WaitingJob::State::Waiting; });
    if (job->state == WaitingJob::State::Granted) return;
    if (job->state == WaitingJob::State::Waiting) forgetLocked(job);
    throw CancellationError();
}

void ConcurrencyGuard::forgetLocked(const std::shared_ptr<WaitingJob>& job) {
    for (auto party = parties_.begin(); party != parties_.end(); ++party) {
        auto found = std::find(party->jobs.begin(), party->jobs.end(), job);
        if (found == party->jobs.end()) continue;
        party->jobs.erase(found);
        if (party->jobs.empty()) parties_.erase(party);
        return;
    }
}

void ConcurrencyGuard::release() {
    std::scoped_lock lock(mutex_);
    if (parties_.empty()) {
        if (activeJobs_ > 0) --activeJobs_;
        return;
    }
    // The slot passes directly to the oldest waiter of the party whose turn it is; that
    // party goes to the back of the turn if it still waits. The count of active jobs stays.
    Party party = std::move(parties_.front());
    parties_.pop_front();
    std::shared_ptr<WaitingJob> job = std::move(party.jobs.front());
    party.jobs.pop_front();
    if (!party.jobs.empty()) parties_.push_back(std::move(party));
    job->state = WaitingJob::State::Granted;
    job->wakeup.notify_one();
}

ConcurrencyGuard::Slot ConcurrencyGuard::hold(std::stop_token stop) {
    acquire(std::move(stop));
    return Slot(this);
}

void ConcurrencyGuard::cancelAllWaiters() {
    std::scoped_lock lock(mutex_);
    for (auto& party : parties_) {
        for (auto& job : party.jobs) {
            job->state = WaitingJob::State::Cancelled;
            job->wakeup.notify_one();
        }
    }
    parties_.clear();
}

int ConcurrencyGuard::activeJobs() const {
    std::scoped_lock lock(mutex_);
    return activeJobs_;
}

std::size_t ConcurrencyGuard::waitingJobs() const {
    std::scoped_lock lock(mutex_);
    std::size_t count = 0;
    for (const auto& party : parties_) count += party.jobs.size();
    return count;
}

}  // namespace vt
