#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vt {

struct RunningProcess {
    pid_t pid = -1;
    std::string executable;  // absolute path of its program file
};

// Our own program file, as the system resolves it (links followed): what lies beside it.
std::optional<std::string> ownExecutablePath();
// The path we were started by, links kept where the system says (macOS), for whatever
// starts us again later: a package manager's link outlives the versioned folder it points
// into. Linux keeps only the resolved file, so there it is the same as the above.
std::optional<std::string> ownLaunchPath();

// The processes, other than ours, whose program file lies inside `folder` (an application
// bundle counts as running when any of its own programs, main or helper, runs). Processes
// whose program cannot be read (another user's) are left out.
std::vector<RunningProcess> processesInside(const std::string& folder);

// Whether the process still runs; a zombie, which has quit and waits for its parent, does not.
bool isProcessRunning(pid_t pid);

}  // namespace vt
