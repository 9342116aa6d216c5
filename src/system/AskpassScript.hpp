#pragma once

#include <optional>
#include <string>

namespace vt {

class FileSystemManager;

// The small program that sudo runs (through SUDO_ASKPASS) to ask for the administrator
// password in a window when a Homebrew command needs it; it prints what was typed and
// fails when the dialog is cancelled or left empty. The window comes from whatever the
// machine has: AppleScript where osascript exists, else zenity, kdialog or ssh-askpass.
// With none of them there is no script. Safe to call from any thread.
class AskpassScript {
public:
    enum class Prompter { AppleScript, Zenity, KDialog, SshAskpass };

    static constexpr const char* kFileName = "vt-sudo-askpass.sh";

    // The first prompt program found at its absolute path, in the order above.
    static std::optional<Prompter> availablePrompter(const FileSystemManager& fileSystem);
    // The script's text, with the localized prompt and button titles.
    static std::string text(Prompter prompter);
    static std::string text(Prompter prompter, const std::string& prompt, const std::string& cancelTitle,
                            const std::string& okTitle);
    // Writes the script into the folder (atomically, mode 0755) and returns its path;
    // nothing when it cannot be written.
    static std::optional<std::string> install(Prompter prompter, const std::string& folder);
    // The script for this machine in our support folder, written on first need; nothing
    // when the machine has no prompt program or the file cannot be written.
    static std::optional<std::string> prepare();
};

}  // namespace vt
