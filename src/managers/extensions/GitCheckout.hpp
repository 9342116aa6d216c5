#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace vt {

class CommandRunning;
class FileSystemManager;

// What a git clone knows of its upstream, asked through git itself: the commit checked out
// and the commit its remote's default branch is at now (`git ls-remote origin HEAD`). A
// clone is behind when the remote's commit is not already part of its history. git never
// prompts (GIT_TERMINAL_PROMPT=0); every call has a time limit; failures give nullopt.
// Only CancellationError propagates. Shared by the sources kept as clones (GitHub CLI
// extensions, the AI assistant's marketplaces and skills).
class GitCheckout {
public:
    static constexpr double kLocalTimeout = 15;
    static constexpr double kRemoteTimeout = 30;

    GitCheckout(CommandRunning& runner, const FileSystemManager& files, std::string folder);

    // Whether the folder is the top of a clone (has its own ".git").
    bool isClone() const;
    std::optional<std::string> head(std::stop_token stop) const;
    std::optional<std::string> remoteHead(std::stop_token stop) const;
    // nullopt when the remote could not be asked; else whether it has commits the clone lacks.
    std::optional<bool> isBehind(const std::string& remoteCommit, std::stop_token stop) const;
    // `git pull --ff-only`; throws CommandError when git fails.
    void pullFastForward(std::stop_token stop) const;

private:
    std::optional<std::string> git(const std::vector<std::string>& arguments, double timeout,
                                   std::stop_token stop) const;

    std::optional<std::string> gitExecutable(std::stop_token stop) const;

    CommandRunning& runner_;
    const FileSystemManager& files_;
    std::string folder_;
    // Found on first use; one checkout is used by one thread at a time.
    mutable std::optional<std::optional<std::string>> executable_;
};

// The first `length` characters of a commit, as the tools print it.
std::string shortCommit(const std::string& commit, std::size_t length = 8);

}  // namespace vt
