#include "shell/LaunchAgentManager.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/PrintableText.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "sources/inventory/PropertyListWriter.hpp"
#include "system/CommandRunner.hpp"
#include "system/RunningProcesses.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("LaunchAgentManager");
    return log;
}

// Where a bundle's executable lives when the running one cannot be found.
constexpr const char* kFallbackExecutable = "/Applications/Vantreel.app/Contents/MacOS/Vantreel";

std::string defaultFolder(bool launchd) {
    if (launchd) return paths::home() + "/Library/LaunchAgents";
    if (auto config = paths::environmentValue("XDG_CONFIG_HOME"); config && config->front() == '/') {
        return *config + "/systemd/user";
    }
    return paths::home() + "/.config/systemd/user";
}

// The program's path as the first word of an ExecStart= line. systemd takes the command's
// path as it stands, but for specifiers ("%", doubled here) and refuses one that holds a quote,
// a backslash or a control character: a newline in a folder's name would otherwise start a
// line of its own in the unit. Such a path is refused here, with a clear reason.
std::string unitExecutable(const std::string& path) {
    const bool unsafe = sanitizeUtf8(path) != path || std::any_of(path.begin(), path.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '"' || c == '\\' || c == '\'';
    });
    if (unsafe) {
        throw AgentError("systemd cannot start a program whose path holds a quote, a backslash, a control character "
                         "or bytes that are not UTF-8: " + printableText(sanitizeUtf8(path)) +
                         "; install vantreel in a folder whose name has none");
    }
    std::string word = "\"";
    for (char c : path) {
        if (c == '%') word += '%';
        word += c;
    }
    word += '"';
    return word;
}

}  // namespace

long long LaunchAgentManager::checkedInterval(long long hours) {
    if (hours < 0 || hours > kMaximumIntervalHours) {
        throw AgentIntervalError(localized("agent.interval_invalid", {std::to_string(kMaximumIntervalHours), std::to_string(hours)}));
    }
    return std::max(hours, 1LL);
}

LaunchAgentManager::LaunchAgentManager() : LaunchAgentManager(Options{}) {}

LaunchAgentManager::LaunchAgentManager(Options options)
    : options_(std::move(options)), runner_(options_.runner ? *options_.runner : CommandRunner::shared()) {
    if (options_.folder.empty()) options_.folder = defaultFolder(options_.launchd);
    if (options_.executable.empty()) {
        options_.executable = ownLaunchPath().value_or(options_.launchd ? kFallbackExecutable : "");
    }
}

Json LaunchAgentManager::propertyList(const std::string& executable, long long intervalHours) {
    Json list = Json::object();
    list["Label"] = kLabel;
    list["ProgramArguments"] = Json::array({executable, "--background-scan"});
    list["StartInterval"] = checkedInterval(intervalHours) * 3600;
    list["RunAtLoad"] = false;
    list["StandardOutPath"] = "/dev/null";
    list["StandardErrorPath"] = "/dev/null";
    list["ProcessType"] = "Background";
    list["LowPriorityIO"] = true;
    list["LowPriorityBackgroundIO"] = true;
    return list;
}

std::string LaunchAgentManager::serviceUnit(const std::string& executable) {
    std::string unit = "[Unit]\nDescription=Van Treel background scan\n\n[Service]\nType=oneshot\nExecStart=";
    unit += unitExecutable(executable);
    // A background job at the lowest CPU and disk priority, its output discarded.
    unit += " --background-scan\nNice=19\nCPUSchedulingPolicy=idle\nIOSchedulingClass=idle\n";
    unit += "StandardOutput=null\nStandardError=null\n";
    return unit;
}

std::string LaunchAgentManager::timerUnit(long long intervalHours) {
    std::string hours = std::to_string(checkedInterval(intervalHours));
    std::string unit = "[Unit]\nDescription=Van Treel background scan every ";
    unit += hours;
    unit += " hours\n\n[Timer]\nOnBootSec=15min\nOnUnitActiveSec=";
    unit += hours;
    unit += "h\nPersistent=true\n\n[Install]\nWantedBy=timers.target\n";
    return unit;
}

std::vector<std::string> LaunchAgentManager::agentFiles() const {
    if (options_.launchd) return {options_.folder + "/" + kPropertyListName};
    return {options_.folder + "/" + kServiceName, options_.folder + "/" + kTimerName};
}

bool LaunchAgentManager::isInstalled() const {
    std::error_code error;
    return std::filesystem::exists(agentFiles().back(), error);
}

bool LaunchAgentManager::run(const std::string& tool, std::vector<std::string> arguments, std::string* output,
                             std::string* failure) {
    CommandRequest request;
    request.command = tool;
    request.arguments = std::move(arguments);
    request.timeout = options_.timeoutSeconds;
    request.allowNonZeroExit = true;
    std::string line = tool;
    for (const std::string& argument : request.arguments) line += " " + argument;
    try {
        ShellCommandResult result = runner_.execute(request);
        if (output) *output = result.standardOutput;
        if (result.exitCode == 0) return true;
        std::string detail = trim(result.standardError);
        if (detail.empty()) {
            detail = "exit code ";
            detail += std::to_string(result.exitCode);
        }
        if (failure) *failure = line + ": " + detail;
    } catch (const CommandError& error) {
        if (failure) *failure = line + ": " + error.description();
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> LaunchAgentManager::fileContents(long long hours) const {
    std::vector<std::pair<std::string, std::string>> contents;
    if (options_.launchd) {
        contents.emplace_back(agentFiles()[0], writeXmlPropertyList(propertyList(options_.executable, hours)));
    } else {
        contents.emplace_back(agentFiles()[0], serviceUnit(options_.executable));
        contents.emplace_back(agentFiles()[1], timerUnit(hours));
    }
    return contents;
}

void LaunchAgentManager::writeFiles(const std::vector<std::pair<std::string, std::string>>& contents) {
    if (!paths::ensureFolder(options_.folder)) {
        throw AgentError("cannot create the agent folder " + options_.folder + ": " + std::strerror(errno));
    }
    // Aside under names no service manager loads (a dot first, no unit suffix last).
    std::vector<std::string> aside;
    auto removeAside = [&aside] {
        for (const std::string& file : aside) {
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
        }
    };
    try {
        for (const auto& [file, text] : contents) {
            const std::filesystem::path target(file);
            std::string name = ".";
            name += target.filename().string();
            name += ".new";
            aside.push_back((target.parent_path() / name).string());
            writeFileAtomically(aside.back(), text);
        }
    } catch (const FileWriteError& error) {
        removeAside();
        throw AgentError(std::string("cannot write the agent: ") + error.what());
    }
    for (std::size_t i = 0; i < contents.size(); ++i) {
        std::error_code error;
        std::filesystem::rename(aside[i], contents[i].first, error);
        if (error) {
            removeAside();
            throw AgentError("cannot write the agent: " + contents[i].first + ": " + error.message());
        }
    }
}

void LaunchAgentManager::restoreFiles(const std::vector<std::pair<std::string, std::optional<std::string>>>& previous) {
    for (const auto& [file, text] : previous) {
        try {
            if (text) {
                writeFileAtomically(file, *text);
            } else {
                std::error_code error;
                std::filesystem::remove(file, error);
            }
        } catch (const FileWriteError& error) {
            logger().warning(error.what());
        }
    }
}

void LaunchAgentManager::deleteFiles() {
    for (const std::string& file : agentFiles()) {
        std::error_code error;
        std::filesystem::remove(file, error);
        if (error) throw AgentError("cannot delete " + file + ": " + error.message());
    }
}

void LaunchAgentManager::install(long long intervalHours) {
    const long long hours = checkedInterval(intervalHours);
    if (options_.executable.empty()) throw AgentError("the program's own executable cannot be found");
    // Every file's text first: a path a unit cannot hold is refused before anything changes.
    const std::vector<std::pair<std::string, std::string>> contents = fileContents(hours);
    const bool wasInstalled = isInstalled();
    // The agent that works now, to put back when the new one cannot start.
    std::vector<std::pair<std::string, std::optional<std::string>>> previous;
    for (const auto& entry : contents) {
        FileRead read = readFileChecked(entry.first);
        if (!read.contents && read.failure != FileRead::Failure::Missing) {
            throw AgentError("cannot read the installed agent " + entry.first + ": " + read.reason);
        }
        previous.emplace_back(entry.first, std::move(read.contents));
    }
    std::string failure;
    if (options_.launchd) {
        const std::string file = agentFiles()[0];
        if (wasInstalled) run(options_.launchctl, {"unload", file});
        try {
            writeFiles(contents);
        } catch (const AgentError&) {
            restoreFiles(previous);
            if (wasInstalled) run(options_.launchctl, {"load", file});
            throw;
        }
        if (!run(options_.launchctl, {"load", file}, nullptr, &failure)) {
            restoreFiles(previous);
            if (wasInstalled) run(options_.launchctl, {"load", file});
            throw AgentError(failure);
        }
    } else {
        try {
            writeFiles(contents);
        } catch (const AgentError&) {
            restoreFiles(previous);
            throw;
        }
        bool ok = run(options_.systemctl, {"--user", "daemon-reload"}, nullptr, &failure) &&
                  run(options_.systemctl, {"--user", "enable", "--now", kTimerName}, nullptr, &failure) &&
                  // A timer already running keeps its old interval until restarted.
                  (!wasInstalled || run(options_.systemctl, {"--user", "restart", kTimerName}, nullptr, &failure));
        if (!ok) {
            if (wasInstalled) {
                restoreFiles(previous);
                run(options_.systemctl, {"--user", "daemon-reload"});
                run(options_.systemctl, {"--user", "restart", kTimerName});
            } else {
                run(options_.systemctl, {"--user", "disable", "--now", kTimerName});
                deleteFiles();
                run(options_.systemctl, {"--user", "daemon-reload"});
            }
            throw AgentError(failure);
        }
    }
    logger().info(localized("log.agent.installed", {std::to_string(hours)}));
}

void LaunchAgentManager::remove() {
    if (!isInstalled()) return;
    std::string failure;
    if (options_.launchd) {
        if (!run(options_.launchctl, {"unload", agentFiles()[0]}, nullptr, &failure)) logger().warning(failure);
        deleteFiles();
    } else {
        if (!run(options_.systemctl, {"--user", "disable", "--now", kTimerName}, nullptr, &failure)) {
            logger().warning(failure);
        }
        deleteFiles();
        run(options_.systemctl, {"--user", "daemon-reload"});
    }
    logger().info(localized("log.agent.removed"));
}

AgentStatus LaunchAgentManager::status() {
    AgentStatus status;
    status.files = agentFiles();
    status.installed = isInstalled();
    if (!status.installed) return status;
    std::optional<std::string> text = readFile(agentFiles().back());
    if (!text) return status;
    if (options_.launchd) {
        if (auto list = PropertyList::parse(*text)) {
            if (auto seconds = list->root().member("StartInterval")) {
                if (auto value = seconds->integer()) status.intervalHours = static_cast<long long>(*value / 3600);
            }
        }
        return status;
    }
    for (std::string_view line : splitLines(*text)) {
        constexpr std::string_view kKey = "OnUnitActiveSec=";
        if (!startsWith(line, kKey) || !endsWith(line, "h")) continue;
        std::string digits(line.substr(kKey.size(), line.size() - kKey.size() - 1));
        if (!digits.empty() && digits.size() < 10 && digits.find_first_not_of("0123456789") == std::string::npos) {
            status.intervalHours = std::stoll(digits);
        }
    }
    std::string output;
    if (run(options_.systemctl, {"--user", "show", kTimerName, "--property=NextElapseUSecRealtime", "--value"},
            &output)) {
        std::string next = trim(output);
        if (!next.empty() && next != "n/a") status.nextRun = next;
    }
    return status;
}

}  // namespace vt
