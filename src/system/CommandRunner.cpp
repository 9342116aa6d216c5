#include "system/CommandRunner.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <clocale>
#include <cstdlib>

#include <locale.h>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Platform.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "system/AskpassScript.hpp"
#include "system/ChildProcess.hpp"
#include "system/ConcurrencyGuard.hpp"
#include "system/FileSystemManager.hpp"
#include "system/ProcessOutputDecoder.hpp"
#include "system/ProcessPump.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("CommandRunner");
    return instance;
}

constexpr const char* kLinuxHomebrewPrefix = "/home/linuxbrew/.linuxbrew";

// Proxy and certificate settings: behind a company gateway no tool reaches the network
// without them, so children get ours. Nothing else of our environment passes.
constexpr const char* kNetworkVariables[] = {
    "HTTP_PROXY",    "HTTPS_PROXY",   "ALL_PROXY",          "NO_PROXY",
    "http_proxy",    "https_proxy",   "all_proxy",          "no_proxy",
    "SSL_CERT_FILE", "SSL_CERT_DIR",  "NODE_EXTRA_CA_CERTS", "REQUESTS_CA_BUNDLE",
    "PIP_CERT",      "CURL_CA_BUNDLE", "GIT_SSL_CAINFO",
};

// What a version manager's shims read to choose the version they start (pyenv, rbenv,
// nodenv, asdf, mise, Volta): without them a shim on the user's PATH would start another one.
constexpr const char* kVersionManagerVariables[] = {
    "PYENV_ROOT", "PYENV_VERSION", "RBENV_ROOT",     "RBENV_VERSION",    "NODENV_ROOT", "NODENV_VERSION",
    "ASDF_DIR",   "ASDF_DATA_DIR", "MISE_DATA_DIR",  "MISE_CONFIG_DIR",  "VOLTA_HOME",
};

bool contains(const std::vector<std::string>& values, std::string_view value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::vector<std::string> environmentStrings(const CommandRunner::Environment& environment) {
    std::vector<std::string> strings;
    strings.reserve(environment.size());
    for (const auto& [name, value] : environment) strings.push_back(name + "=" + value);
    return strings;
}

// Length-prefixed fields: two requests share a key only when every part is equal, whatever
// bytes the parts contain.
void appendField(std::string& key, std::string_view field) {
    key += std::to_string(field.size());
    key += ':';
    key += field;
}

std::string cacheKey(const CommandRequest& request, const CommandRunner::Environment& environment,
                     const std::string& workingDirectory) {
    std::string key;
    appendField(key, request.command);
    key += '\x1F';
    for (const auto& argument : request.arguments) appendField(key, argument);
    key += '\x1E';
    for (const auto& [name, value] : environment) {
        appendField(key, name);
        appendField(key, value);
    }
    key += '\x1C';
    appendField(key, workingDirectory);
    return key;
}

std::optional<std::chrono::steady_clock::time_point> deadlineFor(std::optional<double> timeout) {
    if (!timeout) return std::nullopt;
    double seconds = std::isnan(*timeout) ? 0.0 : std::max(0.0, *timeout);
    // Beyond a year is no limit at all, and would overflow the clock.
    if (seconds > 365.0 * 24 * 3600) return std::nullopt;
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// Hands decoded text to the caller's handler as well as to the whole result.
void deliver(const std::string& text, std::string& whole, const CommandRunning::ChunkHandler& handler) {
    if (text.empty()) return;
    whole += text;
    if (handler) handler(text);
}

}  // namespace

struct CommandRunner::RunOutcome {
    ProcessPump::Ending ending = ProcessPump::Ending::Exited;
    bool cancelledByAll = false;
    int exitCode = 0;
    std::string standardOutput;
    std::string standardError;
};

// Keeps a child in the registry of running ones for as long as it may be signalled.
class CommandRunner::ActiveRun {
public:
    ActiveRun(CommandRunner& runner, pid_t pid, std::uint64_t generation) : runner_(runner), pid_(pid) {
        runner_.registerActive(pid_, generation);
    }
    ~ActiveRun() {
        if (!finished_) runner_.unregisterActive(pid_);
    }
    ActiveRun(const ActiveRun&) = delete;
    ActiveRun& operator=(const ActiveRun&) = delete;

    bool finish() {
        finished_ = true;
        return runner_.unregisterActive(pid_);
    }

private:
    CommandRunner& runner_;
    pid_t pid_;
    bool finished_ = false;
};

CommandRunner::CommandRunner() : CommandRunner(Options{}) {}

CommandRunner::CommandRunner(Options options)
    : guard_(options.guard != nullptr ? *options.guard : ConcurrencyGuard::shared()),
      askpassScript_(options.askpassScript ? std::move(options.askpassScript) : AskpassProvider(&AskpassScript::prepare)),
      clock_(options.clock) {}

// Made at the first run, not when the runner is: most commands start no tool, and the
// environment looks for files and probes the C library's locales.
const CommandRunner::Environments& CommandRunner::environments() const {
    std::call_once(environmentsMade_, [this] {
        environments_.defaults = makeDefaultEnvironment(paths::home(), SystemFileSystemManager());
        environments_.base = environments_.defaults;
        for (auto& [name, value] : networkEnvironment()) environments_.base[name] = value;
        for (auto& [name, value] : versionManagerEnvironment()) environments_.base[name] = value;
    });
    return environments_;
}

CommandRunner& CommandRunner::shared() {
    // Never destroyed: a detached thread may still be running a tool while the program exits.
    static auto* runner = new CommandRunner();
    return *runner;
}

std::string CommandRunner::standardSearchPath(const std::string& home, const FileSystemManager& fileSystem) {
    std::string path = "/usr/bin:/bin:/usr/sbin:/sbin:/opt/homebrew/bin:/usr/local/bin:/opt/homebrew/sbin:/usr/local/sbin:";
    if (fileSystem.isExecutableFile(std::string(kLinuxHomebrewPrefix) + "/bin/brew")) {
        path += std::string(kLinuxHomebrewPrefix) + "/bin:";
    }
    path += home + "/.local/bin:" + home + "/.cargo/bin:/nix/var/nix/profiles/default/bin:/opt/local/bin";
    return path;
}

std::string CommandRunner::searchPathFor(const std::string& userPath, const std::string& standardPath) {
    // The user's own folders first, so that a tool starts the node or python the user's
    // shell would (a version manager's shims among them); relative entries would make a
    // tool depend on our working folder, and are left out.
    std::vector<std::string> folders;
    for (const std::string* list : {&userPath, &standardPath}) {
        for (std::string_view folder : split(*list, ':')) {
            if (!startsWith(folder, "/") || contains(folders, folder)) continue;
            folders.emplace_back(folder);
        }
    }
    return join(folders, ":");
}

std::string CommandRunner::existingUtf8Locale() {
    // A locale the C library does not have makes every shell script print a warning and
    // some tools fail; C.UTF-8 is built into glibc. macOS has no C.UTF-8 but always has
    // en_US.UTF-8.
    const char* candidates[] = {kBuiltForMac ? "en_US.UTF-8" : "C.UTF-8", "C.utf8", "en_US.UTF-8"};
    for (const char* name : candidates) {
        if (locale_t locale = ::newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr))) {
            ::freelocale(locale);
            return name;
        }
    }
    return "C";
}

CommandRunner::Environment CommandRunner::makeDefaultEnvironment(const std::string& home,
                                                                 const FileSystemManager& fileSystem) {
    const bool appleSilicon = fileSystem.isExecutableFile("/opt/homebrew/bin/brew");
    // Homebrew on Linux lives in its own prefix; on a Mac that file does not exist.
    const std::string linuxPrefix = kLinuxHomebrewPrefix;
    const bool linuxHomebrew = fileSystem.isExecutableFile(linuxPrefix + "/bin/brew");

    std::string prefix = "/usr/local";
    std::string repository = "/usr/local/Homebrew";
    if (appleSilicon) {
        prefix = repository = "/opt/homebrew";
    } else if (linuxHomebrew) {
        prefix = linuxPrefix;
        repository = linuxPrefix + "/Homebrew";
    }
    const std::string locale = existingUtf8Locale();
    return Environment{
        {"LANG", locale},
        {"LC_ALL", locale},
        {"HOME", home},
        {"PATH", searchPathFor(paths::environmentValue("PATH").value_or(""), standardSearchPath(home, fileSystem))},
        {"HOMEBREW_PREFIX", prefix},
        {"HOMEBREW_CELLAR", prefix + "/Cellar"},
        {"HOMEBREW_REPOSITORY", repository},
        {"HOMEBREW_NO_AUTO_UPDATE", "1"},
        {"HOMEBREW_NO_ANALYTICS", "1"},
        {"HOMEBREW_NO_INSTALL_CLEANUP", "1"},
        {"SUDO_PROMPT", localized("admin.sudo_prompt")},
        {"GIT_CONFIG_NOSYSTEM", "1"},
        {"PIP_DISABLE_PIP_VERSION_CHECK", "1"},
        {"NPM_CONFIG_UPDATE_NOTIFIER", "false"},
    };
}

std::optional<std::string> CommandRunner::defaultSearchPath() const {
    const Environment& defaults = environments().defaults;
    auto path = defaults.find("PATH");
    if (path == defaults.end()) return std::nullopt;
    return path->second;
}

CommandRunner::Environment CommandRunner::networkEnvironment() {
    Environment environment;
    for (const char* name : kNetworkVariables) {
        if (const char* value = std::getenv(name)) environment[name] = value;
    }
    return environment;
}

CommandRunner::Environment CommandRunner::versionManagerEnvironment() {
    Environment environment;
    for (const char* name : kVersionManagerVariables) {
        if (const char* value = std::getenv(name)) environment[name] = value;
    }
    return environment;
}

CommandRunner::Environment CommandRunner::mergedEnvironment(const Environment& callerEnvironment) const {
    Environment environment = environments().base;
    for (const auto& [name, value] : callerEnvironment) environment[name] = value;
    return environment;
}

namespace {

// "/usr/bin/env brew list" runs brew: the cache rules and invalidation follow the tool.
std::string toolName(std::string_view command, const std::vector<std::string>& arguments) {
    std::string name = toLower(lastPathComponent(command));
    if (name == "env" && !arguments.empty() && arguments.front().find('=') == std::string::npos) {
        return toLower(lastPathComponent(arguments.front()));
    }
    return name;
}

}  // namespace

bool CommandRunner::isReadOnlyCommand(std::string_view command, const std::vector<std::string>& arguments) {
    const std::string name = toLower(lastPathComponent(command));
    if (name == "env" && !arguments.empty() && toolName(command, arguments) != "env") {
        return isReadOnlyCommand(arguments.front(), std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    const std::string first = arguments.empty() ? "" : arguments.front();
    if (name == "brew") return first == "list" || first == "outdated" || first == "tap" || first == "leaves";
    if (name == "npm") return first == "list" || first == "outdated";
    if (name == "pip" || name == "pip3") return contains(arguments, "list");
    if (name == "softwareupdate") return arguments == std::vector<std::string>{"-l", "--no-scan"};
    if (name == "mdfind") return arguments.size() == 1;
    return false;
}

ShellCommandResult CommandRunner::execute(const CommandRequest& request, std::stop_token stop) {
    return run(request, nullptr, std::move(stop));
}

ShellCommandResult CommandRunner::execute(std::string command, std::vector<std::string> arguments,
                                          std::stop_token stop) {
    CommandRequest request;
    request.command = std::move(command);
    request.arguments = std::move(arguments);
    return run(request, nullptr, std::move(stop));
}

ShellCommandResult CommandRunner::executeStreaming(const CommandRequest& request, ChunkHandler onStdout,
                                                   ChunkHandler onStderr, std::stop_token stop) {
    Streaming streaming{std::move(onStdout), std::move(onStderr)};
    return run(request, &streaming, std::move(stop));
}

ShellCommandResult CommandRunner::run(const CommandRequest& request, const Streaming* streaming,
                                      std::stop_token stop) {
    if (stop.stop_requested()) throw CommandError::cancelled();
    if (!startsWith(request.command, "/") || !SystemFileSystemManager().isExecutableFile(request.command)) {
        throw CommandError::invalidCommand(request.command);
    }
    const std::uint64_t generation = cancelGeneration_.load();
    Environment environment = mergedEnvironment(request.environment);
    const std::string workingDirectory = request.currentDirectory.value_or(kDefaultWorkingDirectory);

    // Streamed runs are updates, never listings, and their handlers expect live output.
    std::optional<std::string> key;
    if (streaming == nullptr && !request.standardInput && isReadOnlyCommand(request.command, request.arguments)) {
        key = cacheKey(request, environment, workingDirectory);
        if (std::optional<ShellCommandResult> hit = cachedResult(*key)) {
            logger().debug(localized("log.command.cached", {std::string(lastPathComponent(request.command)) + " " +
                                                            join(request.arguments, " ")}));
            return *hit;
        }
    }
    addPasswordPrompt(request, environment);

    ConcurrencyGuard::Slot slot = guard_.hold(stop);
    if (cancelGeneration_.load() != generation) throw CancellationError();
    RunOutcome outcome = launchAndWait(request, environment, workingDirectory, streaming, generation, stop);

    if (outcome.cancelledByAll || stop.stop_requested()) throw CancellationError();
    if (outcome.ending == ProcessPump::Ending::TimedOut) {
        logger().debug(localized("log.command.timed_out", {request.command + " " + join(request.arguments, " ")}));
        throw CommandError::timeout();
    }
    ShellCommandResult result{std::move(outcome.standardOutput), std::move(outcome.standardError), outcome.exitCode};
    if (result.exitCode != 0 && !request.allowNonZeroExit) {
        throw CommandError::executionFailed(
            result.exitCode, result.standardError.empty() ? result.standardOutput : result.standardError);
    }
    if (key) storeInCache(*key, toolName(request.command, request.arguments), result);
    return result;
}

CommandRunner::RunOutcome CommandRunner::launchAndWait(const CommandRequest& request, const Environment& environment,
                                                       const std::string& workingDirectory,
                                                       const Streaming* streaming, std::uint64_t generation,
                                                       std::stop_token stop) {
    ChildProcess::Options options{request.command, request.arguments, environmentStrings(environment),
                                  workingDirectory, request.standardInput.has_value(),
                                  yielding_.load() > 0 ? kYieldingNiceIncrement : 0};
    ChildProcess child = ChildProcess::spawn(options);
    ActiveRun active(*this, child.pid(), generation);
    const auto deadline = deadlineFor(request.timeout);

    RunOutcome outcome;
    ProcessOutputDecoder outputDecoder;
    ProcessOutputDecoder errorDecoder;
    ProcessPump::Sink onOutput = [&](std::string_view bytes) {
        if (streaming == nullptr) {
            outcome.standardOutput.append(bytes);
        } else {
            deliver(outputDecoder.decode(bytes), outcome.standardOutput, streaming->onStdout);
        }
    };
    ProcessPump::Sink onError = [&](std::string_view bytes) {
        if (streaming == nullptr) {
            outcome.standardError.append(bytes);
        } else {
            deliver(errorDecoder.decode(bytes), outcome.standardError, streaming->onStderr);
        }
    };
    std::string_view input = request.standardInput ? std::string_view(*request.standardInput) : std::string_view();
    outcome.ending = ProcessPump::run(child, input, onOutput, onError, deadline, std::move(stop));

    outcome.cancelledByAll = active.finish();
    outcome.exitCode = ChildProcess::terminationStatus(child.reap());
    if (streaming == nullptr) {
        outcome.standardOutput = sanitizeUtf8(outcome.standardOutput);
        outcome.standardError = sanitizeUtf8(outcome.standardError);
    } else if (outcome.ending == ProcessPump::Ending::Exited && !outcome.cancelledByAll) {
        deliver(outputDecoder.finish(), outcome.standardOutput, streaming->onStdout);
        deliver(errorDecoder.finish(), outcome.standardError, streaming->onStderr);
    }
    return outcome;
}

void CommandRunner::addPasswordPrompt(const CommandRequest& request, Environment& environment) const {
    auto suppressed = environment.find("VT_SUPPRESS_SUDO_ASKPASS");
    if (suppressed != environment.end() && suppressed->second == "1") return;
    if (environment.count("SUDO_ASKPASS") != 0) return;  // the caller's own choice wins
    const bool brew = lastPathComponent(request.command) == "brew" ||
                      (request.command == "/usr/bin/env" && contains(request.arguments, "brew"));
    if (!brew) return;
    if (std::optional<std::string> script = askpassScript_()) environment["SUDO_ASKPASS"] = *script;
}

std::optional<ShellCommandResult> CommandRunner::cachedResult(const std::string& key) const {
    const Clock::TimePoint now = (clock_ != nullptr ? *clock_ : Clock::shared()).now();
    std::scoped_lock lock(cacheMutex_);
    auto entry = readOnlyCommandCache_.find(key);
    if (entry == readOnlyCommandCache_.end() || entry->second.expiresAt <= now) return std::nullopt;
    return entry->second.result;
}

void CommandRunner::storeInCache(const std::string& key, std::string_view tool, const ShellCommandResult& result) {
    const Clock::TimePoint expiresAt = (clock_ != nullptr ? *clock_ : Clock::shared()).now() + kReadOnlyCacheTtl;
    std::scoped_lock lock(cacheMutex_);
    readOnlyCommandCache_[key] = CacheEntry{std::string(tool), result, expiresAt};
}

void CommandRunner::invalidateCache(std::string_view executableName) {
    const std::string name = toLower(executableName);
    std::scoped_lock lock(cacheMutex_);
    std::erase_if(readOnlyCommandCache_, [&](const auto& entry) { return entry.second.executableName == name; });
}

void CommandRunner::cancelActiveCommands() {
    {
        std::scoped_lock lock(activeMutex_);
        ++cancelGeneration_;
        // Under the lock: a registered child is not reaped yet, so its pid is still its own.
        for (auto& [pid, killed] : activeProcesses_) {
            killed = true;
            if (::killpg(pid, 0) == 0) {
                ::killpg(pid, SIGKILL);
            } else {
                ::kill(pid, SIGKILL);
            }
        }
    }
    guard_.cancelAllWaiters();
}

bool CommandRunner::registerActive(pid_t pid, std::uint64_t generation) {
    std::scoped_lock lock(activeMutex_);
    const bool cancelled = cancelGeneration_.load() != generation;
    activeProcesses_[pid] = cancelled;
    if (cancelled) ::killpg(pid, SIGKILL);
    return !cancelled;
}

bool CommandRunner::unregisterActive(pid_t pid) {
    std::scoped_lock lock(activeMutex_);
    auto entry = activeProcesses_.find(pid);
    if (entry == activeProcesses_.end()) return false;
    bool killed = entry->second;
    activeProcesses_.erase(entry);
    return killed;
}

}  // namespace vt
