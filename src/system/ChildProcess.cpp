#include "system/ChildProcess.hpp"

#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vt {

namespace {

[[noreturn]] void throwSpawnError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void check(int error, const char* what) {
    if (error != 0) throwSpawnError(error, what);
}

class SpawnAttributes {
public:
    SpawnAttributes() { check(posix_spawnattr_init(&attributes_), "posix_spawnattr_init"); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class SpawnFileActions {
public:
    SpawnFileActions() { check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init"); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

void configureAttributes(SpawnAttributes& attributes) {
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    check(posix_spawnattr_setflags(attributes.get(), flags), "posix_spawnattr_setflags");
    // Group 0: the child leads a new group, so ctrl-c at our terminal does not reach it
    // and one signal to the group reaches everything it started.
    check(posix_spawnattr_setpgroup(attributes.get(), 0), "posix_spawnattr_setpgroup");
    // A tool must not inherit the signals this thread blocks or this program ignores.
    sigset_t none;
    sigemptyset(&none);
    check(posix_spawnattr_setsigmask(attributes.get(), &none), "posix_spawnattr_setsigmask");
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGTSTP,
                       SIGTTIN, SIGTTOU}) {
        sigaddset(&defaults, signal);
    }
    check(posix_spawnattr_setsigdefault(attributes.get(), &defaults), "posix_spawnattr_setsigdefault");
}

void configureFileActions(SpawnFileActions& actions, const ChildProcess::Options& options, int stdinRead,
                          int stdoutWrite, int stderrWrite) {
    if (stdinRead >= 0) {
        check(posix_spawn_file_actions_adddup2(actions.get(), stdinRead, STDIN_FILENO), "adddup2");
    } else {
        check(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0), "addopen");
    }
    check(posix_spawn_file_actions_adddup2(actions.get(), stdoutWrite, STDOUT_FILENO), "adddup2");
    check(posix_spawn_file_actions_adddup2(actions.get(), stderrWrite, STDERR_FILENO), "adddup2");
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Libraries we link may open descriptors without close-on-exec; none may reach a tool.
    check(posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1), "addclosefrom");
#endif
    check(posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory.c_str()), "addchdir");
}

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& string : strings) pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
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

}  // namespace

ChildProcess ChildProcess::spawn(const Options& options) {
    PipeEnds input;
    if (options.pipeStandardInput) input = makePipe();
    PipeEnds output = makePipe();
    PipeEnds error = makePipe();

    SpawnAttributes attributes;
    configureAttributes(attributes);
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

int ChildProcess::terminationStatus(int waitStatus) noexcept {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return waitStatus;
}

}  // namespace vt
