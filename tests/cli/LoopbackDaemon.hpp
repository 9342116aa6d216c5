#pragma once

// A server program of this machine started for one test on loopback, and stopped with its
// process group when the object goes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vt::testing {

// A port nothing listens on now: the kernel's choice for a socket bound to port 0.
inline int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

class LoopbackDaemon {
public:
    // `arguments` with the program first, its output discarded; waits up to ten seconds for
    // `ready` to say it answers.
    LoopbackDaemon(std::vector<std::string> arguments, char* const* environment, const std::function<bool()>& ready) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environment) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        for (int i = 0; i < 100 && pid_ > 0 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~LoopbackDaemon() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    LoopbackDaemon(const LoopbackDaemon&) = delete;
    LoopbackDaemon& operator=(const LoopbackDaemon&) = delete;

    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

}  // namespace vt::testing
