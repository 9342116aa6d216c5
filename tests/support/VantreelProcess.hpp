#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "system/CommandRunning.hpp"

namespace vt::testing {

// Runs the built `vantreel` binary as a user would, with HOME pointing at a sandbox.
// Only the runner's base environment plus `environment` reaches it.
struct VantreelRun {
    std::vector<std::string> arguments;
    std::string home;
    std::map<std::string, std::string> environment;
    std::optional<std::string> standardInput;
    double timeout = 60;
};

ShellCommandResult runVantreel(const VantreelRun& run);

// Writes the sandbox's preferences so that only these sources are shown (the tools of this
// machine stay out of the results), the first-launch choices already made.
void showOnly(const std::string& home, const std::vector<std::string>& toggleKeys);

}  // namespace vt::testing
