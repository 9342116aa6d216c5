#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/CommandRunning.hpp"

namespace vt::testing {

// Answers commands from canned responses instead of running anything, and remembers
// every request it got. A request is known by its command line, the command and its
// arguments joined by single blanks ("/usr/local/bin/brew list --formula"), or by a
// matcher. Behaves like the real runner where tests rely on it: a stopped token fails
// with CommandError::cancelled before anything, a non-zero exit code without
// allowNonZeroExit fails with executionFailed, a delay ends early with CancellationError
// when the token fires or cancelActiveCommands() is called. Thread-safe.
//
//   FakeCommandRunner runner;
//   runner.on("/usr/bin/npm outdated --json", Response::output(R"({"left-pad": {...}})"));
//   runner.on([](const CommandRequest& r) { return r.arguments.at(0) == "install"; },
//             Response::failure(1, "E404"));
//   ... code under test ...
//   EXPECT_EQ(runner.commandLines(), (std::vector<std::string>{"/usr/bin/npm outdated --json"}));
class FakeCommandRunner final : public CommandRunning {
public:
    using Matcher = std::function<bool(const CommandRequest&)>;

    struct Response {
        ShellCommandResult result;
        std::exception_ptr error;                // thrown instead of returning a result
        std::vector<std::string> stdoutChunks;   // for executeStreaming; joined, they are the
        std::vector<std::string> stderrChunks;   // result's text when that is left empty
        std::chrono::milliseconds delay{0};      // before answering

        static Response output(std::string standardOutput, int exitCode = 0, std::string standardError = {});
        // A run that exits non-zero: the caller gets executionFailed unless it allows that.
        static Response failure(int exitCode, std::string standardError, std::string standardOutput = {});
        static Response streamed(std::vector<std::string> stdoutChunks, std::vector<std::string> stderrChunks = {},
                                 int exitCode = 0);
        template <typename Error>
        static Response throwing(Error error) {
            Response response;
            response.error = std::make_exception_ptr(std::move(error));
            return response;
        }
        Response& after(std::chrono::milliseconds wait) {
            delay = wait;
            return *this;
        }
    };

    // An exact command line wins over matchers; matchers are tried oldest first. Setting a
    // command line again replaces its response.
    void on(std::string commandLine, Response response);
    void on(Matcher matcher, Response response);
    // The n-th run of the command line gets the n-th response, the last one after that.
    void onSequence(const std::string& commandLine, std::vector<Response> responses);
    // For requests nothing matches; by default they fail with invalidCommand, as a tool
    // that is not installed would.
    void otherwise(Response response);

    ShellCommandResult execute(const CommandRequest& request, std::stop_token stop = {}) override;
    ShellCommandResult executeStreaming(const CommandRequest& request, ChunkHandler onStdout, ChunkHandler onStderr,
                                        std::stop_token stop = {}) override;
    void cancelActiveCommands() override;

    static std::string commandLine(const CommandRequest& request);

    std::vector<CommandRequest> history() const;
    std::vector<std::string> commandLines() const;
    std::size_t count(const std::string& commandLine) const;
    bool ran(const std::string& commandLine) const { return count(commandLine) > 0; }
    // Command lines of requests that had no response of their own.
    std::vector<std::string> unanswered() const;
    void clearHistory();

private:
    Response responseFor(const CommandRequest& request);
    void wait(std::chrono::milliseconds delay, std::size_t cancelGeneration, const std::stop_token& stop);
    ShellCommandResult answer(const CommandRequest& request, const ChunkHandler* onStdout,
                              const ChunkHandler* onStderr, std::stop_token stop);

    mutable std::mutex mutex_;
    std::condition_variable_any cancelled_;
    std::map<std::string, Response> byCommandLine_;
    std::vector<std::pair<Matcher, Response>> matchers_;
    std::optional<Response> fallback_;
    std::vector<CommandRequest> history_;
    std::vector<std::string> unanswered_;
    std::size_t cancelAllCount_ = 0;
};

}  // namespace vt::testing
