#include "shell/TerminalLauncher.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Log.hpp"
#include "base/Paths.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("TerminalLauncher");
    return log;
}

// The system's choice first (Debian's alternative), then the desktops' own terminals.
const std::vector<std::pair<const char*, std::vector<std::string>>>& candidates() {
    static const std::vector<std::pair<const char*, std::vector<std::string>>> list = {
        {"x-terminal-emulator", {"-e"}}, {"gnome-terminal", {"--"}}, {"konsole", {"-e"}},
        {"xfce4-terminal", {"-x"}},      {"xterm", {"-e"}},
    };
    return list;
}

}  // namespace

std::optional<TerminalLauncher::Terminal> TerminalLauncher::find(const std::vector<std::string>& folders) {
    for (const auto& [name, flag] : candidates()) {
        for (const std::string& folder : folders) {
            std::string path = folder + "/" + name;
            if (::access(path.c_str(), X_OK) == 0) return Terminal{path, flag};
        }
    }
    return std::nullopt;
}

bool TerminalLauncher::open(const std::vector<std::string>& command, const std::vector<std::string>& folders) {
    if (command.empty()) return false;
    std::optional<Terminal> terminal = find(folders);
    if (!terminal) {
        logger().warning("No terminal to open for " + command.front());
        return false;
    }
    std::vector<std::string> arguments{terminal->path};
    arguments.insert(arguments.end(), terminal->runFlag.begin(), terminal->runFlag.end());
    arguments.insert(arguments.end(), command.begin(), command.end());
    // A window needs the display and session of the desktop, beside the usual few.
    std::vector<std::string> environment;
    for (const char* name : {"HOME", "PATH", "LANG", "LC_ALL", "LC_MESSAGES", "DISPLAY", "WAYLAND_DISPLAY",
                             "XAUTHORITY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME",
                             "XDG_DATA_HOME", "NO_COLOR"}) {
        if (auto value = paths::environmentValue(name)) environment.push_back(std::string(name) + "=" + *value);
    }
    std::vector<char*> argv, envp;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int status = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (status != 0) {
        logger().error("Cannot open " + terminal->path + ": " + std::strerror(status));
        return false;
    }
    // Reaped at once if it already ended; otherwise it outlives us and init reaps it.
    ::waitpid(pid, nullptr, WNOHANG);
    logger().info("Opened " + terminal->path + " for " + command.front());
    return true;
}

}  // namespace vt
