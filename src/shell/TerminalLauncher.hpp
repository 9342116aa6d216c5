#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vt {

// Opens a terminal window running one of our commands, for a person who clicked a
// notification. The window is the user's: it is started in a session of its own and not
// waited for; only its start is checked.
class TerminalLauncher {
public:
    struct Terminal {
        std::string path;
        std::vector<std::string> runFlag;  // what precedes the command: "-e", "--"
    };

    // The first terminal found in `folders`, in the order of the list below.
    static std::optional<Terminal> find(const std::vector<std::string>& folders = {"/usr/bin", "/usr/local/bin"});
    // Starts `command` (an absolute path and its arguments) in that terminal; false, logged,
    // when no terminal exists or it cannot be started.
    static bool open(const std::vector<std::string>& command,
                     const std::vector<std::string>& folders = {"/usr/bin", "/usr/local/bin"});
};

}  // namespace vt
