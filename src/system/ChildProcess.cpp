#include "system/ChildProcess.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "system/SpawnSettings.hpp"

namespace vt {

namespace {

[[noreturn]] void throwSpawnError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void check(int error, const char* what) {
    if (error != 0) throwSpawnError(error, what);
}

void configureFileActions(SpawnFileActions& actions, const ChildProcess::Options& options, int stdinRead,
                          int stdoutWrite, int stderrWrite) {
    if (stdinRead >= 0) {
        actions.duplicate(stdinRead, STDIN_FILENO);
    } else {
        actions.openNullDevice(STDIN_FILENO, O_RDONLY);
    }
    actions.duplicate(stdoutWrite, STDOUT_FILENO);
    actions.duplicate(stderrWrite, STDERR_FILENO);
    actions.closeAllAboveStandardError();
    actions.changeDirectory(options.workingDirectory.c_str());
}

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& string : strings) pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The leaders not yet reaped, for killEveryGroup(): lock-free, as a signal handler reads it.
// A child past the last slot is only missed by that.
std::array<std::atomic<pid_t>, 256> liveLeaders{};

void remember(pid_t pid) noexcept {
    for (std::atomic<pid_t>& slot : liveLeaders) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void forget(pid_t pid) noexcept {
    for (std::atomic<pid_t>& slot : liveLeaders) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

UniqueFd openExitNotifier(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    // Close-on-exec by definition; absent on old kernels, where the caller polls instead.
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
    (void)pid;
#endif
    return UniqueFd();
}

// On Linux a nice value belongs to a thread; this one may lower itself, never raise itself back.
void lowerThisThread(int increment) {
    errno = 0;
    const int ours = ::getpriority(PRIO_PROCESS, 0);
    if (ours == -1 && errno != 0) return;
    ::setpriority(PRIO_PROCESS, 0, std::min(ours + increment, 19));
}

}  // namespace

ChildProcess ChildProcess::spawn(const Options& options) {
    if (options.niceIncrement <= 0) return launch(options);
    // A child takes the nice value of the thread that starts it, from its first instruction
    // and for whatever it starts: it is started from a thread of its own, lowered first.
    std::optional<ChildProcess> child;
    std::exception_ptr failure;
    try {
        std::thread([&] {
            lowerThisThread(options.niceIncrement);
            try {
                child.emplace(launch(options));
            } catch (...) {
                failure = std::current_exception();
            }
        }).join();
    } catch (const std::system_error&) {
        return launch(options);  // no thread to spare: the child runs at our priority
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*child);
}

ChildProcess ChildProcess::launch(const Options& options) {
    PipeEnds input;
    if (options.pipeStandardInput) input = makePipe();
    PipeEnds output = makePipe();
    PipeEnds error = makePipe();

    // Group 0: the child leads a new group, so ctrl-c at our terminal does not reach it
    // and one signal to the group reaches everything it started.
    SpawnAttributes attributes(POSIX_SPAWN_SETPGROUP);
    check(posix_spawnattr_setpgroup(attributes.get(), 0), "posix_spawnattr_setpgroup");
    SpawnFileActions actions;
    configureFileActions(actions, options, input.readEnd.get(), output.writeEnd.get(), error.writeEnd.get());

    std::vector<std::string> argumentStrings;
    argumentStrings.reserve(options.arguments.size() + 1);
    argumentStrings.push_back(options.executable);
    argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentStrings = options.environment;
    std::vector<char*> argv = nullTerminated(argumentStrings);
    std::vector<char*> envp = nullTerminated(environmentStrings);

    ChildProcess child;
    int result = posix_spawn(&child.pid_, options.executable.c_str(), actions.get(), attributes.get(), argv.data(),
                             envp.data());
    if (result != 0) {
        child.pid_ = -1;
        throwSpawnError(result, "Cannot launch " + options.executable);
    }
    remember(child.pid_);
    child.exitNotifier_ = openExitNotifier(child.pid_);
    child.stdin_ = std::move(input.writeEnd);
    child.stdout_ = std::move(output.readEnd);
    child.stderr_ = std::move(error.readEnd);
    // Our copies of the child's ends must go now, or we would never see end of file.
    input.readEnd.close();
    output.writeEnd.close();
    error.writeEnd.close();
    if (child.stdin_) setNonBlocking(child.stdin_.get());
    setNonBlocking(child.stdout_.get());
    setNonBlocking(child.stderr_.get());
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      exitNotifier_(std::move(other.exitNotifier_)) {}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0) return;
    signalGroup(SIGKILL);
    reap();
}

bool ChildProcess::hasExited() const {
    if (pid_ <= 0) return true;
    siginfo_t info{};
    // WNOWAIT leaves the zombie in place: its pid, and so its group id, stay ours.
    int result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (result != 0) return errno == ECHILD;
    return info.si_pid != 0;
}

int ChildProcess::reap() {
    if (pid_ <= 0) return 0;
    // Forgotten once it has exited, while its zombie still holds the group id: never a
    // group some other process has come to own.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    forget(pid_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            status = 0;
            break;
        }
    }
    pid_ = -1;
    exitNotifier_.close();
    return status;
}

void ChildProcess::signalGroup(int signal) const noexcept {
    if (pid_ <= 0) return;
    if (::killpg(pid_, signal) != 0) ::kill(pid_, signal);
}

void ChildProcess::killEveryGroup() noexcept {
    for (const std::atomic<pid_t>& slot : liveLeaders) {
        if (const pid_t pid = slot.load(); pid > 0) ::kill(-pid, SIGKILL);
    }
}

int ChildProcess::terminationStatus(int waitStatus) noexcept {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return waitStatus;
}

}  // namespace vt
