#include "system/DesktopLaunch.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "base/Paths.hpp"
#include "system/SpawnSettings.hpp"

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

    short flags = 0;
#ifdef POSIX_SPAWN_SETSID
    flags = POSIX_SPAWN_SETSID;
#endif
    SpawnAttributes attributes(flags);
    // Nothing of ours: a pipe we write to would otherwise stay open (and whoever reads it
    // waiting) for as long as the application runs.
    SpawnFileActions actions;
    actions.openNullDevice(STDIN_FILENO, O_RDONLY);
    actions.openNullDevice(STDOUT_FILENO, O_WRONLY);
    actions.openNullDevice(STDERR_FILENO, O_WRONLY);
    actions.closeAllAboveStandardError();
    pid_t pid = -1;
    const int status = ::posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), envp.data());
    if (status != 0) throw std::system_error(status, std::generic_category(), "cannot start " + arguments.front());
    // Reaped when it ends, so a long-running process of ours collects no zombies; the
    // thread simply ends with us if we end first.
    std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace vt
