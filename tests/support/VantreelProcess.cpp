#include "support/VantreelProcess.hpp"

#include "system/CommandRunner.hpp"

namespace vt::testing {

ShellCommandResult runVantreel(const VantreelRun& run) {
    CommandRequest request;
    request.command = VT_BINARY_PATH;
    request.arguments = run.arguments;
    request.environment = run.environment;
    request.environment["HOME"] = run.home;
    request.standardInput = run.standardInput;
    request.timeout = run.timeout;
    request.allowNonZeroExit = true;
    static CommandRunner runner;
    return runner.execute(request);
}

}  // namespace vt::testing
