#include "system/ProcessPump.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <memory>
#include <system_error>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "system/ChildProcess.hpp"
#include "system/UniqueFd.hpp"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;
using Ending = ProcessPump::Ending;
using Sink = ProcessPump::Sink;

constexpr std::size_t kChunkSize = 64 * 1024;
// Once the leader is gone its output sits in the pipe buffer; whatever keeps coming after
// that many reads is written by a grandchild that outlives it, and we stop listening.
constexpr int kMaxReadsAfterExit = 64;
// Without an exit descriptor we look for the leader's exit at least this often.
constexpr int kExitCheckMilliseconds = 50;

// A write to a child that closed its input raises SIGPIPE, which would end this whole
// program. Blocking it in this thread turns it into EPIPE; a signal left pending by such a
// write is taken away before the mask comes back.
class SigpipeShield {
public:
    SigpipeShield() {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
    }
    ~SigpipeShield() {
        if (!sigismember(&previous_, SIGPIPE)) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE)) {
                timespec zero{};
                sigtimedwait(&sigpipe_, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeShield(const SigpipeShield&) = delete;
    SigpipeShield& operator=(const SigpipeShield&) = delete;

private:
    sigset_t sigpipe_;
    sigset_t previous_;
};

// Wakes the poll when the caller's stop token fires.
struct Waker {
    int fd;
    void operator()() const noexcept {
        char byte = 1;
        [[maybe_unused]] ssize_t result = ::write(fd, &byte, 1);
    }
};

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(left, 60'000));
}

class PumpLoop {
public:
    PumpLoop(ChildProcess& child, std::string_view input, const Sink& onStandardOutput, const Sink& onStandardError,
             std::optional<Clock::time_point> deadline, std::stop_token stop, std::chrono::milliseconds grace)
        : child_(child),
          input_(input),
          onStandardOutput_(onStandardOutput),
          onStandardError_(onStandardError),
          deadline_(deadline),
          stop_(std::move(stop)),
          grace_(grace),
          buffer_(std::make_unique_for_overwrite<char[]>(kChunkSize)) {}

    Ending run() {
        if (child_.standardInput() && input_.empty()) child_.standardInput().close();
        std::optional<SigpipeShield> shield;
        if (child_.standardInput()) shield.emplace();
        UniqueFd wakeRead;
        UniqueFd wakeWrite;
        std::optional<std::stop_callback<Waker>> wakeOnStop;
        if (stop_.stop_possible()) {
            PipeEnds wake = makePipe();
            setNonBlocking(wake.writeEnd.get());
            wakeRead = std::move(wake.readEnd);
            wakeWrite = std::move(wake.writeEnd);
            wakeOnStop.emplace(stop_, Waker{wakeWrite.get()});
        }
        while (!leaderExited_) {
            enforceLimits(Clock::now());
            pollOnce(terminating_ ? -1 : wakeRead.get());
        }
        drain(child_.standardOutput(), onStandardOutput_);
        drain(child_.standardError(), onStandardError_);
        // The leader is a zombie, so the group id is still ours: take down anything of the
        // group that shrugged off SIGTERM.
        if (terminating_) child_.signalGroup(SIGKILL);
        return ending_;
    }

private:
    void enforceLimits(Clock::time_point now) {
        if (!terminating_) {
            if (stop_.stop_requested()) {
                beginTermination(Ending::Stopped, now);
            } else if (deadline_ && now >= *deadline_) {
                beginTermination(Ending::TimedOut, now);
            }
        }
        if (terminating_ && !killed_ && now >= killAt_) {
            child_.signalGroup(SIGKILL);
            killed_ = true;
        }
    }

    void beginTermination(Ending ending, Clock::time_point now) {
        ending_ = ending;
        terminating_ = true;
        killAt_ = now + grace_;
        child_.signalGroup(SIGTERM);
        child_.standardInput().close();
    }

    int pollTimeout(Clock::time_point now) const {
        int timeout = -1;
        auto tighten = [&](int milliseconds) { timeout = timeout < 0 ? milliseconds : std::min(timeout, milliseconds); };
        if (!terminating_ && deadline_) tighten(millisecondsUntil(*deadline_, now));
        if (terminating_ && !killed_) tighten(millisecondsUntil(killAt_, now));
        if (child_.exitNotifier() < 0) {
            bool reading = child_.standardOutput() || child_.standardError();
            tighten(reading ? kExitCheckMilliseconds : exitBackoff_);
        }
        return timeout;
    }

    void pollOnce(int wakeFd) {
        pollfd fds[5];
        nfds_t count = 0;
        auto add = [&](int fd, short events) {
            if (fd < 0) return -1;
            fds[count] = pollfd{fd, events, 0};
            return static_cast<int>(count++);
        };
        int out = add(child_.standardOutput().get(), POLLIN);
        int err = add(child_.standardError().get(), POLLIN);
        int in = add(child_.standardInput().get(), POLLOUT);
        int exit = add(child_.exitNotifier(), POLLIN);
        int wake = add(wakeFd, POLLIN);

        int ready = ::poll(fds, count, pollTimeout(Clock::now()));
        if (ready < 0) {
            if (errno == EINTR) return;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        auto fired = [&](int index) { return index >= 0 && fds[index].revents != 0; };
        if (fired(out)) readOnce(child_.standardOutput(), onStandardOutput_);
        if (fired(err)) readOnce(child_.standardError(), onStandardError_);
        if (fired(in)) writeInput();
        if (fired(wake)) {
            char bytes[16];
            [[maybe_unused]] ssize_t result = ::read(wakeFd, bytes, sizeof bytes);
        }
        if (exit >= 0) {
            leaderExited_ = fired(exit);
        } else if (ready == 0 || !(child_.standardOutput() || child_.standardError()) ||
                   Clock::now() - lastExitCheck_ >= std::chrono::milliseconds(kExitCheckMilliseconds)) {
            // Also while output keeps flowing: a grandchild may write long after the leader is gone.
            lastExitCheck_ = Clock::now();
            leaderExited_ = child_.hasExited();
            exitBackoff_ = std::min(exitBackoff_ * 2, kExitCheckMilliseconds);
        }
    }

    // Returns false when nothing more is to be read now.
    bool readOnce(UniqueFd& fd, const Sink& sink) {
        while (true) {
            ssize_t count = ::read(fd.get(), buffer_.get(), kChunkSize);
            if (count > 0) {
                sink(std::string_view(buffer_.get(), static_cast<std::size_t>(count)));
                return true;
            }
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
            fd.close();
            return false;
        }
    }

    void drain(UniqueFd& fd, const Sink& sink) {
        for (int reads = 0; fd && reads < kMaxReadsAfterExit; ++reads) {
            if (!readOnce(fd, sink)) break;
        }
        fd.close();
    }

    void writeInput() {
        UniqueFd& fd = child_.standardInput();
        while (written_ < input_.size()) {
            std::size_t size = std::min(input_.size() - written_, kChunkSize);
            ssize_t count = ::write(fd.get(), input_.data() + written_, size);
            if (count > 0) {
                written_ += static_cast<std::size_t>(count);
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            break;  // EPIPE: the child wants no more; that is its business
        }
        fd.close();
    }

    ChildProcess& child_;
    std::string_view input_;
    const Sink& onStandardOutput_;
    const Sink& onStandardError_;
    std::optional<Clock::time_point> deadline_;
    std::stop_token stop_;
    std::chrono::milliseconds grace_;
    std::unique_ptr<char[]> buffer_;

    std::size_t written_ = 0;
    bool leaderExited_ = false;
    bool terminating_ = false;
    bool killed_ = false;
    Clock::time_point killAt_{};
    Ending ending_ = Ending::Exited;
    int exitBackoff_ = 1;
    Clock::time_point lastExitCheck_ = Clock::now();
};

}  // namespace

Ending ProcessPump::run(ChildProcess& child, std::string_view input, const Sink& onStandardOutput,
                        const Sink& onStandardError, std::optional<TimePoint> deadline, std::stop_token stop,
                        std::chrono::milliseconds grace) {
    return PumpLoop(child, input, onStandardOutput, onStandardError, deadline, std::move(stop), grace).run();
}

}  // namespace vt
