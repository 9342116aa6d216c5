#include "system/AskpassScript.hpp"

#include <mutex>
#include <set>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr const char* kOsascript = "/usr/bin/osascript";
constexpr const char* kZenity = "/usr/bin/zenity";
constexpr const char* kKDialog = "/usr/bin/kdialog";
constexpr const char* kSshAskpass = "/usr/bin/ssh-askpass";

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The text between two quote characters, appended piece by piece: GCC 12 at -O3 sees a
// false overlap (-Wrestrict) in `"'" + std::string(...)`.
std::string enclosed(char quote, const std::string& text) {
    std::string result(1, quote);
    result += text;
    result += quote;
    return result;
}

// A word for bash that stays one word whatever it contains.
std::string shellQuoted(const std::string& text) { return enclosed('\'', replaceAll(text, "'", "'\\''")); }

std::string appleScriptLiteral(const std::string& text) {
    return enclosed('"', replaceAll(replaceAll(text, "\\", "\\\\"), "\"", "\\\""));
}

std::string promptCommand(AskpassScript::Prompter prompter, const std::string& prompt, const std::string& cancelTitle,
                          const std::string& okTitle) {
    const std::string title = kProductName;
    switch (prompter) {
        case AskpassScript::Prompter::AppleScript: {
            std::string script = "text returned of (display dialog " + appleScriptLiteral(prompt) +
                                 " default answer \"\" with hidden answer buttons {" + appleScriptLiteral(cancelTitle) +
                                 ", " + appleScriptLiteral(okTitle) + "} default button " +
                                 appleScriptLiteral(okTitle) + " with title " + appleScriptLiteral(title) + ")";
            return std::string(kOsascript) + " -e " + shellQuoted(script);
        }
        case AskpassScript::Prompter::Zenity:
            return std::string(kZenity) + " --password --title " + shellQuoted(title);
        case AskpassScript::Prompter::KDialog:
            return std::string(kKDialog) + " --title " + shellQuoted(title) + " --password " + shellQuoted(prompt);
        case AskpassScript::Prompter::SshAskpass:
            return std::string(kSshAskpass) + " " + shellQuoted(prompt);
    }
    return {};
}

}  // namespace

std::optional<AskpassScript::Prompter> AskpassScript::availablePrompter(const FileSystemManager& fileSystem) {
    if (fileSystem.isExecutableFile(kOsascript)) return Prompter::AppleScript;
    if (fileSystem.isExecutableFile(kZenity)) return Prompter::Zenity;
    if (fileSystem.isExecutableFile(kKDialog)) return Prompter::KDialog;
    if (fileSystem.isExecutableFile(kSshAskpass)) return Prompter::SshAskpass;
    return std::nullopt;
}

std::string AskpassScript::text(Prompter prompter) {
    return text(prompter, localized("adopt.sudo_prompt", {kProductName}), localized("common.cancel"),
                localized("common.ok"));
}

std::string AskpassScript::text(Prompter prompter, const std::string& prompt, const std::string& cancelTitle,
                                const std::string& okTitle) {
    // A cancelled dialog exits non-zero, which "|| exit 1" turns into the failure sudo expects.
    return "#!/bin/bash\n"
           "set -euo pipefail\n"
           "password=$(" +
           promptCommand(prompter, prompt, cancelTitle, okTitle) +
           " 2>/dev/null) || exit 1\n"
           "if [ -z \"$password\" ]; then exit 1; fi\n"
           "printf '%s' \"$password\"\n";
}

std::optional<std::string> AskpassScript::install(Prompter prompter, const std::string& folder) {
    const std::string path = folder + "/" + kFileName;
    try {
        if (!paths::ensureFolder(folder)) throw FileWriteError("Cannot create " + folder);
        writeFileAtomically(path, text(prompter), 0755);
        return path;
    } catch (const FileWriteError& error) {
        Logger("CommandRunner").warning(localized("log.admin.no_askpass", {error.what()}));
        return std::nullopt;
    }
}

std::optional<std::string> AskpassScript::prepare() {
    static std::mutex mutex;
    static std::set<std::string> written;  // paths written by this process
    SystemFileSystemManager fileSystem;
    std::optional<Prompter> prompter = availablePrompter(fileSystem);
    if (!prompter) return std::nullopt;
    const std::string folder = paths::supportFolder();
    const std::string path = folder + "/" + kFileName;
    {
        std::scoped_lock lock(mutex);
        if (written.count(path) != 0 && fileSystem.isExecutableFile(path)) return path;
    }
    std::optional<std::string> installed = install(*prompter, folder);
    if (installed) {
        std::scoped_lock lock(mutex);
        written.insert(*installed);
    }
    return installed;
}

}  // namespace vt
