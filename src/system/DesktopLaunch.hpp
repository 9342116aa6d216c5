#pragma once

#include <string>
#include <vector>

namespace vt {

// Starts a program that belongs to the user's desktop (an application we relaunched, a
// terminal window), not to us: in a session of its own, not waited for, with the display
// and session variables it needs beside the usual few and nothing else of ours.
// `arguments` starts with an absolute path. Throws std::system_error when it cannot start.
void launchOnDesktop(const std::vector<std::string>& arguments);

}  // namespace vt
