#include "system/DesktopLaunch.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <system_error>

#include "base/Paths.hpp"

namespace vt {

namespace {

std::vector<std::string> desktopEnvironment() {
    std::vector<std::string> environment;
    for (const char* name : {"HOME", "USER", "LOGNAME", "PATH", "LANG", "LC_ALL", "LC_MESSAGES", "DISPLAY",
                             "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS",
                             "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CURRENT_DESKTOP", "NO_COLOR"}) {
        if (auto value = paths::environmentValue(name)) environment.push_back(std::string(name) + "=" + *value);
    }
    return environment;
}

}  // namespace

void launchOnDesktop(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw std::system_error(std::make_error_code(std::errc::invalid_argument), "nothing to start");
    std::vector<std::string> copies = arguments;
    std::vector<std::string> environment = desktopEnvironment();
    std::vector<char*> argv, envp;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
#ifdef POSIX_SPAWN_SETSID
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
#endif
    pid_t pid = -1;
    const int status = ::posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (status != 0) throw std::system_error(status, std::generic_category(), "cannot start " + arguments.front());
    // Reaped at once if it already ended; otherwise it outlives us and init reaps it.
    ::waitpid(pid, nullptr, WNOHANG);
}

}  // namespace vt
