#include "system/AuthorizationHelper.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "system/AdminPrompt.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"
#include "system/PasswordPrompt.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("AuthorizationHelper");
    return instance;
}

constexpr const char* kChmod = "/bin/chmod";
constexpr const char* kEnv = "/usr/bin/env";
// The macOS path first; Debian keeps chown in /bin.
constexpr const char* kChown = kBuiltForMac ? "/usr/sbin/chown" : "/bin/chown";

// pkexec's own statuses: the dialog was dismissed, or the user could not authenticate.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

AdminPromptError failure(const std::string& detail, std::optional<int> exitCode = std::nullopt) {
    return AdminPromptError::withText(AdminPromptError::Kind::Failed, localized("admin.failed", {detail}), exitCode);
}

AdminPromptError refusal(const char* prefix, const std::string& path) {
    std::string text = prefix;
    text += path;
    return AdminPromptError::withText(AdminPromptError::Kind::Failed, text);
}

AdminPromptError pathNotAllowed(const std::string& path) {
    return AdminPromptError::withText(AdminPromptError::Kind::Failed, localized("admin.path_not_allowed", {path}));
}

bool hasComponent(const std::string& path, std::string_view component) {
    for (std::string_view part : split(path, '/')) {
        if (part == component) return true;
    }
    return false;
}

// "~" expanded, "." and repeated or trailing separators removed; ".." never gets here.
std::string standardised(const std::string& path) {
    std::string expanded = path;
    if (expanded == "~" || startsWith(expanded, "~/")) expanded = paths::home() + expanded.substr(1);
    std::string normal = std::filesystem::path(expanded).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

bool liesIn(const std::string& path, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (path.size() > folder.size() + 1 && startsWith(path, folder) && path[folder.size()] == '/') return true;
    }
    return false;
}

std::string checkedPath(const std::string& path, const char* notBundle, const std::vector<std::string>& folders) {
    if (hasComponent(path, "..")) throw refusal("Path traversal detected: ", path);
    std::string clean = standardised(path);
    if (notBundle != nullptr && !endsWith(clean, ".app")) throw refusal(notBundle, path);
    if (!liesIn(clean, folders)) throw pathNotAllowed(path);
    return clean;
}

// The allowed folders as they really are: a home reached through a link is still the home.
// The folder itself is taken as it is named, never through a link of its own: an
// "Applications" that leads elsewhere would make that elsewhere allowed.
std::vector<std::string> resolvedFolders(const std::vector<std::string>& folders) {
    std::vector<std::string> resolved;
    for (const std::string& folder : folders) {
        const std::filesystem::path named(folder);
        std::error_code error;
        std::filesystem::path parent = std::filesystem::canonical(named.parent_path(), error);
        if (!error) resolved.push_back((parent / named.filename()).string());
    }
    return resolved;
}

// Where root acts for a path that passed the rules: its real location, every link on the way
// resolved, which must still lie in an allowed folder. A bundle that is itself a link is
// refused: it could have been swapped for one after the user picked it.
std::string resolvedInside(const std::string& checked, const std::vector<std::string>& folders) {
    struct stat info {};
    if (::lstat(checked.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) {
        throw pathNotAllowed(checked);
    }
    std::error_code error;
    const std::string real = std::filesystem::canonical(checked, error).string();
    if (error || !liesIn(real, resolvedFolders(folders))) {
        throw pathNotAllowed(checked);
    }
    return real;
}

// Moves root's shell into a folder and checks it is the one we resolved: `cd -P` follows
// links as they are when root gets there, `pwd -P` names where it landed. What follows acts
// on "." and so never walks the path again.
std::string enterExactly(const std::string& real) {
    std::string line = "cd -P -- ";
    line += AuthorizationHelper::singleQuoted(real);
    line += " && [ \"$(pwd -P)\" = ";
    line += AuthorizationHelper::singleQuoted(real);
    line += " ] && ";
    return line;
}

std::string joinedQuoted(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        line += AuthorizationHelper::singleQuoted(word);
    }
    return line;
}

std::string defaultTemporaryFolder() {
    // On a Mac the temporary folder is already the user's own. On Linux /tmp is shared and
    // sticky, where root may not append to a file another user made, so the user's runtime
    // folder comes first.
    if (kBuiltForLinux) {
        if (std::optional<std::string> runtime = paths::environmentValue("XDG_RUNTIME_DIR")) {
            std::error_code error;
            if (std::filesystem::is_directory(*runtime, error)) return *runtime;
        }
    }
    std::error_code error;
    std::string folder = std::filesystem::temp_directory_path(error).string();
    return error || folder.empty() ? std::string("/tmp") : folder;
}

// The log, made by us before the prompt so that nobody else can put one in its place, and
// removed whatever happens.
class LogFile {
public:
    explicit LogFile(const std::string& folder) {
        std::string name = "Vantreel-admin-";
        name += Uuid::random().toString();
        name += ".log";
        path_ = (std::filesystem::path(folder) / name).string();
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw AdminPromptError::withText(AdminPromptError::Kind::Failed,
                                             localized("admin.log_not_created"));
        }
        ::close(fd);
    }
    ~LogFile() { ::unlink(path_.c_str()); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

}  // namespace

AuthorizationHelper::Options AuthorizationHelper::systemOptions() {
    Options options;
    options.temporaryFolder = defaultTemporaryFolder();
    // sudo reads the password from its standard input (-S); we ask for it (on our terminal, or
    // in the full-screen view that holds it), since the child runs in a process group of its
    // own and cannot read the terminal.
    options.askPassword = askPassword;
    if (::geteuid() == 0) {
        // Nobody to ask: a prompt program would only stand between root and the command.
        options.promptProgram = kShell;
        options.style = PromptStyle::AlreadyRoot;
    } else if (kBuiltForMac) {
        options.promptProgram = kOsascript;
        options.style = PromptStyle::AppleScript;
    } else if (::isatty(STDIN_FILENO) == 1) {
        options.promptProgram = kSudo;
        options.style = PromptStyle::Sudo;
    } else {
        options.promptProgram = kPkexec;
        options.style = PromptStyle::Pkexec;
    }
    return options;
}

AuthorizationHelper::AuthorizationHelper(CommandRunning& runner, const FileSystemManager& files, Options options)
    : runner_(runner), files_(files), options_(std::move(options)) {
    if (options_.temporaryFolder.empty()) options_.temporaryFolder = defaultTemporaryFolder();
    if (options_.allowedCommands.empty()) options_.allowedCommands = allowedCommands();
}

bool AuthorizationHelper::isAvailable() const {
    return files_.isExecutableFile(options_.promptProgram);
}

const std::vector<std::string>& AuthorizationHelper::allowedCommands() {
    static const std::vector<std::string> commands = [] {
        std::vector<std::string> list{
            "/opt/homebrew/bin/brew", "/usr/local/bin/brew", "/opt/homebrew/bin/mas", "/usr/local/bin/mas",
            "/usr/sbin/softwareupdate", "/usr/bin/xprotect", "/opt/homebrew/opt/ruby/bin/gem", "/opt/homebrew/bin/gem",
            "/usr/local/bin/gem", "/usr/bin/gem", "/Library/TeX/texbin/tlmgr",
            "/usr/local/texlive/2026/bin/universal-darwin/tlmgr", "/usr/local/texlive/2025/bin/universal-darwin/tlmgr",
            "/usr/local/texlive/2024/bin/universal-darwin/tlmgr",
            // Root-owned MacPorts.
            "/opt/local/bin/port"};
        if (kBuiltForLinux) {
            for (const char* path :
                 {"/home/linuxbrew/.linuxbrew/bin/brew", "/usr/bin/tlmgr",
                  "/usr/local/texlive/2026/bin/x86_64-linux/tlmgr", "/usr/local/texlive/2025/bin/x86_64-linux/tlmgr",
                  "/usr/local/texlive/2024/bin/x86_64-linux/tlmgr", "/usr/local/texlive/2026/bin/aarch64-linux/tlmgr",
                  "/usr/local/texlive/2025/bin/aarch64-linux/tlmgr", "/usr/local/texlive/2024/bin/aarch64-linux/tlmgr",
                  "/usr/bin/apt-get", "/usr/bin/flatpak", "/usr/bin/snap", "/usr/bin/fwupdmgr"}) {
                list.emplace_back(path);
            }
        }
        return list;
    }();
    return commands;
}

bool AuthorizationHelper::isAllowedCommand(const std::string& path) {
    for (const std::string& allowed : allowedCommands()) {
        if (allowed == path) return true;
    }
    return false;
}

void AuthorizationHelper::validateCommand(const std::string& path) const {
    if (!startsWith(path, "/")) throw refusal("Command must be an absolute path: ", path);
    // The list first: a refused command is named as refused even where it is not installed.
    if (std::find(options_.allowedCommands.begin(), options_.allowedCommands.end(), path) ==
        options_.allowedCommands.end()) {
        throw AdminPromptError::notAllowed(path);
    }
    if (!files_.isExecutableFile(path)) throw refusal("Command not found or not executable: ", path);
}

std::map<std::string, std::string> AuthorizationHelper::keptEnvironment() {
    std::map<std::string, std::string> kept;
    for (const char* name : {"SUDO_UID", "SUDO_GID", "SUDO_USER", "LOGNAME", "USER", "HOME", "GEM_HOME", "GEM_PATH"}) {
        if (const char* value = std::getenv(name)) kept[name] = value;
    }
    return kept;
}

std::string AuthorizationHelper::singleQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string AuthorizationHelper::wrapperScript(const std::string& commandLine, const std::string& logPath) {
    std::string script = "{ ";
    script += commandLine;
    script += "; code=$?; printf '\\n";
    script += kExitMarker;
    script += "%s\\n' \"$code\"; } >> ";
    script += singleQuoted(logPath);
    script += " 2>&1; exit 0";
    return script;
}

AdminCommandResult AuthorizationHelper::readLog(const std::string& log) {
    // Ours is the last marker: the command's own output cannot stand in for it.
    const std::string marker = std::string("\n") + kExitMarker;
    const std::size_t at = log.rfind(marker);
    if (at == std::string::npos) throw failure("the command's exit status is missing from its log");
    std::string number = trim(log.substr(at + marker.size()));
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) {
        throw failure("the command's exit status is missing from its log");
    }
    return AdminCommandResult{log.substr(0, at), std::stoi(number)};
}

std::string AuthorizationHelper::promptText(const std::string& reason, bool explainsItself) {
    if (reason.empty()) return localized("admin.prompt.generic");
    return localized(explainsItself ? "admin.prompt.explained" : "admin.prompt.for", {reason});
}

std::string AuthorizationHelper::appleScript(const std::string& script, const std::string& prompt) {
    auto literal = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '\\' || c == '"') out += '\\';
            out += c;
        }
        out += '"';
        return out;
    };
    std::string source = "do shell script ";
    source += literal(script);
    source += " with prompt ";
    source += literal(prompt);
    source += " with administrator privileges";
    return source;
}

std::vector<std::string> AuthorizationHelper::allowedDestinationFolders() {
    return {"/Applications", "/Applications/Utilities", paths::home() + "/Applications"};
}

std::vector<std::string> AuthorizationHelper::allowedStagingFolders() {
    const std::string home = paths::home();
    if (kBuiltForMac) {
        return {"/private/tmp",
                "/tmp",
                "/private/var/folders",
                "/var/folders",
                "/Volumes",
                home + "/Library/Caches",
                home + "/Library/Application Support/Vantreel",
                home + "/Library/Application Support/Van Treel"};
    }
    // The program's own cache and data folders stand for the Library ones.
    return {"/tmp", paths::cacheFolder(), paths::applicationSupportRoot() + "/Vantreel", paths::supportFolder()};
}

std::string AuthorizationHelper::checkedSource(const std::string& path) {
    return checkedPath(path, "Expected .app source: ", allowedStagingFolders());
}

std::string AuthorizationHelper::checkedDestination(const std::string& path) {
    return checkedPath(path, "Expected .app destination: ", allowedDestinationFolders());
}

std::string AuthorizationHelper::checkedBackup(const std::string& path) {
    return checkedPath(path, nullptr, allowedStagingFolders());
}

AdminCommandResult AuthorizationHelper::run(const std::string& command, const std::vector<std::string>& arguments,
                                            const std::string& reason, std::stop_token stop,
                                            std::optional<double> timeoutSeconds) {
    validateCommand(command);
    // The command sees only the kept variables, whatever the prompt program passes on.
    std::vector<std::string> words{kEnv, "-i"};
    for (const auto& [name, value] : keptEnvironment()) words.push_back(name + "=" + value);
    words.push_back(command);
    words.insert(words.end(), arguments.begin(), arguments.end());
    return runScript(joinedQuoted(words), promptText(reason), stop, timeoutSeconds);
}

void AuthorizationHelper::replaceBundle(const std::string& source, const std::string& destination,
                                        const std::string& reason, std::stop_token stop) {
    const std::string from = checkedSource(source);
    const std::string to = checkedDestination(destination);
    // The bundle may not exist yet: its folder is what must really lie in an allowed place,
    // and the bundle is then named relative to it.
    const std::filesystem::path target(to);
    const std::string folder = target.parent_path().string();
    std::error_code error;
    const std::string realFolder = std::filesystem::canonical(folder, error).string();
    const std::string name = "./" + target.filename().string();
    if (error || !liesIn(realFolder + "/" + target.filename().string(), resolvedFolders(allowedDestinationFolders()))) {
        throw pathNotAllowed(destination);
    }
    // The installed bundle is only removed once the new one is known to be there.
    std::string line = enterExactly(realFolder);
    line += "if [ -d ";
    line += singleQuoted(from);
    line += " ]; then ";
    line += joinedQuoted({"/bin/rm", "-rf", name});
    line += " && ";
    line += joinedQuoted({"/bin/cp", "-R", from, name});
    line += " && { ";
    line += joinedQuoted({"/usr/bin/xattr", "-rd", "com.apple.quarantine", name});
    line += " 2>/dev/null || true; }; else echo ";
    line += singleQuoted("No bundle to copy at " + from);
    line += "; false; fi";
    AdminCommandResult result = runScript(line, promptText(reason, true), stop);
    if (result.exitCode != 0) throw failure(trim(result.output), result.exitCode);
}

void AuthorizationHelper::normalizeBundlePermissions(const std::vector<std::string>& bundles, unsigned ownerUid,
                                                     const std::string& reason, std::stop_token stop) {
    if (bundles.empty()) return;
    std::vector<std::string> lines;
    for (const std::string& bundle : bundles) {
        const std::string real = resolvedInside(checkedDestination(bundle), allowedDestinationFolders());
        if (!endsWith(real, ".app")) throw refusal("Expected .app destination: ", bundle);
        // On Linux a bundle that already belongs to its user keeps its owner: Homebrew's casks
        // do not exist there, so only the modes matter. On a Mac the owner is always set.
        struct stat info {};
        const bool owned = ::stat(real.c_str(), &info) == 0 && info.st_uid == ownerUid;
        std::string line = "( " + enterExactly(real);
        if (kBuiltForMac || !owned) line += joinedQuoted({kChown, "-R", std::to_string(ownerUid), "."}) + " && ";
        line += joinedQuoted({kChmod, "-R", "u+w", "."});
        line += " && ";
        line += joinedQuoted({kChmod, "-R", "a+rX", "."});
        lines.push_back(line + " )");
    }
    std::string script;
    for (const std::string& line : lines) script += (script.empty() ? "" : " && ") + line;
    AdminCommandResult result = runScript(script, promptText(reason, true), stop);
    if (result.exitCode != 0) throw failure(trim(result.output), result.exitCode);
}

AdminCommandResult AuthorizationHelper::runScript(const std::string& commandLine, const std::string& prompt,
                                                  std::stop_token stop, std::optional<double> timeoutSeconds) {
    if (!isAvailable()) throw AdminPromptError::notAvailable();
    LogFile log(options_.temporaryFolder);
    const std::string script = wrapperScript(commandLine, log.path());
    CommandRequest request{.command = options_.promptProgram,
                           .timeout = timeoutSeconds.value_or(options_.timeoutSeconds),
                           .allowNonZeroExit = true};
    switch (options_.style) {
        case PromptStyle::AppleScript: request.arguments = {"-e", appleScript(script, prompt)}; break;
        case PromptStyle::AlreadyRoot:
            logger().info(localized("log.admin.as_root", {prompt}));
            request.arguments = {"-c", script};
            break;
        case PromptStyle::Pkexec:
            // pkexec's dialog has no room for our words; the log keeps them.
            logger().info(localized("log.admin.prompt", {prompt}));
            request.arguments = {"/bin/sh", "-c", script};
            break;
        case PromptStyle::Sudo: {
            CommandRequest cached{.command = options_.promptProgram,
                                  .arguments = {"-n", "-v"},
                                  .timeout = 10.0,
                                  .allowNonZeroExit = true};
            bool remembered = false;
            try {
                remembered = runner_.execute(cached, stop).exitCode == 0;
            } catch (const CommandError&) {
                remembered = false;
            }
            if (remembered) {
                request.arguments = {"-n", "/bin/sh", "-c", script};
            } else {
                std::optional<std::string> password =
                    options_.askPassword ? options_.askPassword(prompt) : std::nullopt;
                if (!password) throw AdminPromptError::denied();
                request.arguments = {"-S", "-p", "", "/bin/sh", "-c", script};
                *password += '\n';
                request.standardInput = std::move(*password);
                wipe(*password);
            }
            break;
        }
    }
    // The password (sudo's standard input) is overwritten however the run ends.
    struct WipeInput {
        std::optional<std::string>& input;
        ~WipeInput() {
            if (input) wipe(*input);
        }
    } wipeInput{request.standardInput};
    ShellCommandResult result;
    try {
        result = runner_.execute(request, stop);
    } catch (const CommandError& error) {
        if (error.kind() == CommandError::Kind::Cancelled) throw CancellationError();
        throw failure(error.description());
    }
    if (result.exitCode != 0) {
        const std::string text = trim(result.standardError.empty() ? result.standardOutput : result.standardError);
        std::string code = std::to_string(result.exitCode);
        if (options_.style == PromptStyle::AppleScript) {
            if (contains(text, "(-128)")) throw AdminPromptError::denied();
            const std::string scriptError = "execution error: ";
            std::string message;
            if (const std::size_t at = text.find(scriptError); at != std::string::npos) {
                message = localized("admin.script_error", {text.substr(at + scriptError.size())});
            } else {
                message = localized("admin.osascript_failed", {code});
            }
            throw AdminPromptError::withText(AdminPromptError::Kind::Failed, message);
        }
        if (options_.style == PromptStyle::Pkexec &&
            (result.exitCode == kPkexecDismissed || result.exitCode == kPkexecNotAuthorized)) {
            throw AdminPromptError::denied();
        }
        if (!text.empty()) throw failure(text);
        code.insert(0, "code ");
        throw failure(code);
    }
    std::optional<std::string> written = readFile(log.path());
    if (!written) throw failure("the log of the command could not be read");
    return readLog(*written);
}

}  // namespace vt
