#include "shell/TerminalLauncher.hpp"

#include <unistd.h>

#include <system_error>
#include <utility>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "system/DesktopLaunch.hpp"

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
        logger().warning(localized("log.terminal.none", {command.front()}));
        return false;
    }
    std::vector<std::string> arguments{terminal->path};
    arguments.insert(arguments.end(), terminal->runFlag.begin(), terminal->runFlag.end());
    arguments.insert(arguments.end(), command.begin(), command.end());
    try {
        launchOnDesktop(arguments);
    } catch (const std::system_error& error) {
        logger().error(localized("log.terminal.open_failed", {terminal->path, error.code().message()}));
        return false;
    }
    logger().info(localized("log.terminal.opened", {terminal->path, command.front()}));
    return true;
}

}  // namespace vt
