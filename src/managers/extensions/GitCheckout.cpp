#include "managers/extensions/GitCheckout.hpp"

#include "base/Cancellation.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/ToolOutput.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

bool isCommit(std::string_view text) {
    if (text.size() < 7 || text.size() > 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

std::string shortCommit(const std::string& commit, std::size_t length) { return commit.substr(0, length); }

GitCheckout::GitCheckout(CommandRunning& runner, const FileSystemManager& files, std::string folder)
    : runner_(runner), files_(files), folder_(std::move(folder)) {}

bool GitCheckout::isClone() const { return files_.directoryExists(folder_ + "/.git") || files_.fileExists(folder_ + "/.git"); }

std::optional<std::string> GitCheckout::gitExecutable(std::stop_token stop) const {
    if (!executable_) executable_ = ExecutableLocator(files_).locate("git", stop);
    return *executable_;
}

std::optional<std::string> GitCheckout::git(const std::vector<std::string>& arguments, double timeout,
                                            std::stop_token stop) const {
    const std::optional<std::string> executable = gitExecutable(stop);
    if (!executable) return std::nullopt;
    CommandRequest request;
    request.command = *executable;
    request.arguments = {"-C", folder_};
    request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
    request.timeout = timeout;
    request.environment = {{"GIT_TERMINAL_PROMPT", "0"}, {"GIT_ASKPASS", "true"}, {"SSH_ASKPASS", "true"}};
    request.allowNonZeroExit = true;
    try {
        ShellCommandResult result = runner_.execute(request, stop);
        if (result.exitCode != 0) return std::nullopt;
        return trim(result.standardOutput);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        if (stop.stop_requested()) throw CancellationError();
        return std::nullopt;
    }
}

std::optional<std::string> GitCheckout::head(std::stop_token stop) const {
    std::optional<std::string> commit = git({"rev-parse", "HEAD"}, kLocalTimeout, stop);
    if (!commit || !isCommit(*commit)) return std::nullopt;
    return commit;
}

std::optional<std::string> GitCheckout::remoteHead(std::stop_token stop) const {
    std::optional<std::string> line = git({"ls-remote", "origin", "HEAD"}, kRemoteTimeout, stop);
    if (!line) return std::nullopt;
    std::string commit(firstLine(*line).substr(0, firstLine(*line).find('\t')));
    if (!isCommit(commit)) return std::nullopt;
    return commit;
}

std::optional<bool> GitCheckout::isBehind(const std::string& remoteCommit, std::stop_token stop) const {
    if (!isCommit(remoteCommit)) return std::nullopt;
    std::optional<std::string> local = head(stop);
    if (!local) return std::nullopt;
    if (*local == remoteCommit) return false;
    // A commit the clone already has (it is ahead, or a fetch left it unmerged) is no news.
    return !git({"merge-base", "--is-ancestor", remoteCommit, "HEAD"}, kLocalTimeout, stop).has_value();
}

void GitCheckout::pullFastForward(std::stop_token stop) const {
    const std::optional<std::string> executable = gitExecutable(stop);
    if (!executable) throw CommandError::invalidCommand("git");
    CommandRequest request;
    request.command = *executable;
    request.arguments = {"-C", folder_, "pull", "--ff-only"};
    request.timeout = 300;
    request.environment = {{"GIT_TERMINAL_PROMPT", "0"}, {"GIT_ASKPASS", "true"}, {"SSH_ASKPASS", "true"}};
    runner_.execute(request, stop);
}

}  // namespace vt
