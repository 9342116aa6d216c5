#include "support/FakeCommandRunner.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Strings.hpp"

namespace vt::testing {

namespace {

std::string joined(const std::vector<std::string>& chunks) {
    std::string text;
    for (const auto& chunk : chunks) text += chunk;
    return text;
}

}  // namespace

FakeCommandRunner::Response FakeCommandRunner::Response::output(std::string standardOutput, int exitCode,
                                                                std::string standardError) {
    Response response;
    response.result = ShellCommandResult{std::move(standardOutput), std::move(standardError), exitCode};
    return response;
}

FakeCommandRunner::Response FakeCommandRunner::Response::failure(int exitCode, std::string standardError,
                                                                 std::string standardOutput) {
    return output(std::move(standardOutput), exitCode, std::move(standardError));
}

FakeCommandRunner::Response FakeCommandRunner::Response::streamed(std::vector<std::string> stdoutChunks,
                                                                  std::vector<std::string> stderrChunks, int exitCode) {
    Response response;
    response.result.exitCode = exitCode;
    response.stdoutChunks = std::move(stdoutChunks);
    response.stderrChunks = std::move(stderrChunks);
    return response;
}

void FakeCommandRunner::on(std::string commandLine, Response response) {
    std::scoped_lock lock(mutex_);
    byCommandLine_.insert_or_assign(std::move(commandLine), std::move(response));
}

void FakeCommandRunner::on(Matcher matcher, Response response) {
    std::scoped_lock lock(mutex_);
    matchers_.emplace_back(std::move(matcher), std::move(response));
}

void FakeCommandRunner::onSequence(const std::string& line, std::vector<Response> responses) {
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const bool last = i + 1 == responses.size();
        on(
            [this, line, i, last](const CommandRequest& request) {
                if (commandLine(request) != line) return false;
                const std::size_t run = count(line);  // this run included
                return last ? run >= i + 1 : run == i + 1;
            },
            std::move(responses[i]));
    }
}

void FakeCommandRunner::otherwise(Response response) {
    std::scoped_lock lock(mutex_);
    fallback_ = std::move(response);
}

std::string FakeCommandRunner::commandLine(const CommandRequest& request) {
    if (request.arguments.empty()) return request.command;
    return request.command + " " + join(request.arguments, " ");
}

ShellCommandResult FakeCommandRunner::execute(const CommandRequest& request, std::stop_token stop) {
    return answer(request, nullptr, nullptr, std::move(stop));
}

ShellCommandResult FakeCommandRunner::executeStreaming(const CommandRequest& request, ChunkHandler onStdout,
                                                       ChunkHandler onStderr, std::stop_token stop) {
    return answer(request, &onStdout, &onStderr, std::move(stop));
}

FakeCommandRunner::Response FakeCommandRunner::responseFor(const CommandRequest& request) {
    // Matchers are the test's code: copy them out and call them without our lock.
    std::vector<std::pair<Matcher, Response>> matchers;
    {
        std::scoped_lock lock(mutex_);
        history_.push_back(request);
        auto exact = byCommandLine_.find(commandLine(request));
        if (exact != byCommandLine_.end()) return exact->second;
        matchers = matchers_;
    }
    for (const auto& [matcher, response] : matchers) {
        if (matcher(request)) return response;
    }
    std::scoped_lock lock(mutex_);
    unanswered_.push_back(commandLine(request));
    if (fallback_) return *fallback_;
    return Response::throwing(CommandError::invalidCommand(request.command));
}

ShellCommandResult FakeCommandRunner::answer(const CommandRequest& request, const ChunkHandler* onStdout,
                                             const ChunkHandler* onStderr, std::stop_token stop) {
    if (stop.stop_requested()) throw CommandError::cancelled();
    std::size_t generation;
    {
        std::scoped_lock lock(mutex_);
        generation = cancelAllCount_;
    }
    Response response = responseFor(request);
    if (response.delay.count() > 0) wait(response.delay, generation, stop);
    if (response.error) std::rethrow_exception(response.error);

    ShellCommandResult result = response.result;
    if (result.standardOutput.empty()) result.standardOutput = joined(response.stdoutChunks);
    if (result.standardError.empty()) result.standardError = joined(response.stderrChunks);
    if (onStdout != nullptr) {
        for (const auto& chunk : response.stdoutChunks) {
            if (*onStdout) (*onStdout)(chunk);
        }
        for (const auto& chunk : response.stderrChunks) {
            if (*onStderr) (*onStderr)(chunk);
        }
    }
    if (result.exitCode != 0 && !request.allowNonZeroExit) {
        throw CommandError::executionFailed(
            result.exitCode, result.standardError.empty() ? result.standardOutput : result.standardError);
    }
    return result;
}

void FakeCommandRunner::wait(std::chrono::milliseconds delay, std::size_t cancelGeneration,
                             const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    bool cancelled = cancelled_.wait_for(lock, stop, delay, [&] { return cancelAllCount_ != cancelGeneration; });
    if (cancelled || stop.stop_requested()) throw CancellationError();
}

void FakeCommandRunner::cancelActiveCommands() {
    {
        std::scoped_lock lock(mutex_);
        ++cancelAllCount_;
    }
    cancelled_.notify_all();
}

std::vector<CommandRequest> FakeCommandRunner::history() const {
    std::scoped_lock lock(mutex_);
    return history_;
}

std::vector<std::string> FakeCommandRunner::commandLines() const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(history_.size());
    for (const auto& request : history_) lines.push_back(commandLine(request));
    return lines;
}

std::size_t FakeCommandRunner::count(const std::string& line) const {
    std::scoped_lock lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(history_.begin(), history_.end(), [&](const auto& request) { return commandLine(request) == line; }));
}

std::vector<std::string> FakeCommandRunner::unanswered() const {
    std::scoped_lock lock(mutex_);
    return unanswered_;
}

void FakeCommandRunner::clearHistory() {
    std::scoped_lock lock(mutex_);
    history_.clear();
    unanswered_.clear();
}

}  // namespace vt::testing
