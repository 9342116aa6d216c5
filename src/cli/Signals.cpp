#include "cli/Signals.hpp"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "cli/Consent.hpp"
#include "system/ChildProcess.hpp"

namespace vt::cli {

namespace {

int wakePipe[2] = {-1, -1};
std::atomic<int> interrupts{0};
std::atomic<int> firstSignal{0};
// Written before it is published; the handler reads it only once published.
char forcedExitRemoves[4096] = {};
std::atomic<bool> forcedExitRemovesSet{false};

extern "C" void onSignal(int signal) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    int count = interrupts.fetch_add(1) + 1;
    if (count >= 2 && signal == SIGINT) {
        // At once, but leaving nothing behind: the tools we started, and our marker.
        ChildProcess::killEveryGroup();
        if (forcedExitRemovesSet.load(std::memory_order_acquire)) unlink(forcedExitRemoves);
        _exit(130);
    }
    int saved = errno;
    char byte = static_cast<char>(signal);
    [[maybe_unused]] ssize_t written = write(wakePipe[1], &byte, 1);
    errno = saved;
}

std::jthread watcher;
// Watchers may nest (a command whose step watches too): one thread serves them all, each
// callback called, from the first watcher made to the last one gone.
std::mutex callbacksMutex;
std::vector<std::pair<const InterruptWatcher*, std::function<void()>>> callbacks;

void callEach() {
    std::vector<std::function<void()>> current;
    {
        std::scoped_lock lock(callbacksMutex);
        for (const auto& entry : callbacks) current.push_back(entry.second);
    }
    for (const auto& callback : current) callback();
}

}  // namespace

void removeOnForcedExit(const std::string& path) {
    if (forcedExitRemovesSet.load() || path.empty() || path.size() >= sizeof(forcedExitRemoves)) return;
    path.copy(forcedExitRemoves, path.size());
    forcedExitRemoves[path.size()] = '\0';
    forcedExitRemovesSet.store(true, std::memory_order_release);
}

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt) {
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC) != 0) return;
    bool first = false;
    {
        std::scoped_lock lock(callbacksMutex);
        first = callbacks.empty();
        callbacks.emplace_back(this, std::move(onInterrupt));
    }
    if (!first) return;
    interrupts = 0;
    watcher = std::jthread([](std::stop_token stop) {
        while (!stop.stop_requested()) {
            char byte = 0;
            ssize_t n = read(wakePipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || byte == 0) return;  // closed, or told to stop
            callEach();
        }
    });
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher() {
    {
        std::scoped_lock lock(callbacksMutex);
        std::erase_if(callbacks, [this](const auto& entry) { return entry.first == this; });
        if (!callbacks.empty()) return;
    }
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    if (watcher.joinable()) {
        watcher.request_stop();
        char stopByte = 0;
        [[maybe_unused]] ssize_t written = write(wakePipe[1], &stopByte, 1);
        watcher.join();
    }
}

bool InterruptWatcher::wasInterrupted() const { return interrupts.load() > 0; }

int stoppedExitStatus() {
    const int signal = firstSignal.load();
    return signal == 0 ? kExitInterrupted : 128 + signal;
}

}  // namespace vt::cli
