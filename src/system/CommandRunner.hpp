#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

#include "base/Clock.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class ConcurrencyGuard;
class FileSystemManager;

// The one way this program runs external tools. A run starts the executable directly (no
// shell), by absolute path, as the leader of a process group of its own, with exactly the
// default environment merged with the caller's entries (plus the proxy and certificate
// settings of our own environment, so tools work behind a company gateway), standard
// input from the caller or the null device, and "/tmp" unless told otherwise as working
// folder. The calling thread waits: it polls the child's pipes until the child exits, the
// time limit passes or the stop token fires; the last two terminate the whole group
// (SIGTERM, SIGKILL half a second later). At most ConcurrencyGuard's bound of children run
// at once. Results of read-only listings are kept for ten seconds.
// Every method may be called from any thread; no lock is held while a child runs or a
// handler is called.
class CommandRunner final : public CommandRunning {
public:
    using Environment = std::map<std::string, std::string>;
    // Produces the path of the sudo password-prompt script, or nothing.
    using AskpassProvider = std::function<std::optional<std::string>()>;

    static constexpr std::chrono::seconds kReadOnlyCacheTtl{10};
    static constexpr const char* kDefaultWorkingDirectory = "/tmp";

    struct Options {
        ConcurrencyGuard* guard = nullptr;  // the shared guard when null
        AskpassProvider askpassScript;      // AskpassScript::prepare when empty
        Clock* clock = nullptr;             // Clock::shared() when null; dates the cache
    };

    CommandRunner();
    explicit CommandRunner(Options options);
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    // The program's one runner, created on first use.
    static CommandRunner& shared();

    ShellCommandResult execute(const CommandRequest& request, std::stop_token stop = {}) override;
    ShellCommandResult executeStreaming(const CommandRequest& request, ChunkHandler onStdout, ChunkHandler onStderr,
                                        std::stop_token stop = {}) override;
    void cancelActiveCommands() override;

    ShellCommandResult execute(std::string command, std::vector<std::string> arguments, std::stop_token stop = {});

    // While one lives, the tools this runner starts run kYieldingNiceIncrement levels below
    // the thread that starts them: a scan's own reading in this process (apt's cache, where
    // apt is enabled the longest part) no longer shares its processor with the tools the
    // other sources start.
    // Where the scheduler shares by session or control group first, as desktop Linux does,
    // the scan keeps its share against the user's other programs. Scopes may nest and overlap.
    class YieldingScope {
    public:
        explicit YieldingScope(CommandRunner& runner) : runner_(runner) { ++runner_.yielding_; }
        ~YieldingScope() { --runner_.yielding_; }
        YieldingScope(const YieldingScope&) = delete;
        YieldingScope& operator=(const YieldingScope&) = delete;

    private:
        CommandRunner& runner_;
    };
    // When more tools run than there are free processors, one shares the reading's: 10 levels
    // below, it takes a tenth of that processor (a whole scan then took 1.13 to 1.17 times its
    // apt source alone, on two processors); 15 levels below, a thirtieth (1.08). Where the
    // scheduler shares by session or group first, this only orders the scan's own work: the
    // user's other programs do not starve its tools.
    static constexpr int kYieldingNiceIncrement = 15;

    // The variables every child gets before the caller's own entries are merged over them.
    const Environment& defaultEnvironment() const { return environments().defaults; }
    static Environment makeDefaultEnvironment(const std::string& home, const FileSystemManager& fileSystem);
    // The folders every child may find tools in whatever the user's PATH: the system's, the
    // Homebrew prefixes, ~/.local/bin, ~/.cargo/bin, Nix and MacPorts.
    static std::string standardSearchPath(const std::string& home, const FileSystemManager& fileSystem);
    // A child's PATH: the absolute folders of the user's PATH in their order, then the
    // standard ones not already there.
    static std::string searchPathFor(const std::string& userPath, const std::string& standardPath);
    // The name of a UTF-8 locale this system has ("C.UTF-8" on Linux), else "C".
    static std::string existingUtf8Locale();
    // The proxy and certificate variables of our own environment that children inherit.
    static Environment networkEnvironment();
    // The variables of our own environment that choose what a version manager's shim starts.
    static Environment versionManagerEnvironment();
    // What a child of this request gets, before any password-prompt entry.
    Environment mergedEnvironment(const Environment& callerEnvironment) const;

    // Whether the command only lists things, so that its result may be reused for a while.
    static bool isReadOnlyCommand(std::string_view command, const std::vector<std::string>& arguments);
    // Forgets the cached listings of one tool ("brew"), after it changed what is installed.
    void invalidateCache(std::string_view executableName) override;
    std::optional<std::string> defaultSearchPath() const override;

private:
    struct Streaming {
        ChunkHandler onStdout;
        ChunkHandler onStderr;
    };
    struct CacheEntry {
        std::string executableName;
        ShellCommandResult result;
        Clock::TimePoint expiresAt;
    };
    struct RunOutcome;
    class ActiveRun;

    ShellCommandResult run(const CommandRequest& request, const Streaming* streaming, std::stop_token stop);
    RunOutcome launchAndWait(const CommandRequest& request, const Environment& environment,
                             const std::string& workingDirectory, const Streaming* streaming, std::uint64_t generation,
                             std::stop_token stop);
    void addPasswordPrompt(const CommandRequest& request, Environment& environment) const;

    std::optional<ShellCommandResult> cachedResult(const std::string& key) const;
    // `tool` is the program that really runs ("brew" for "/usr/bin/env brew ...").
    void storeInCache(const std::string& key, std::string_view tool, const ShellCommandResult& result);

    // Returns false when cancelActiveCommands() came since the run began: the child is
    // then killed at once.
    bool registerActive(pid_t pid, std::uint64_t generation);
    // Returns whether cancelActiveCommands() killed it. Must come before the child is reaped.
    bool unregisterActive(pid_t pid);

    ConcurrencyGuard& guard_;
    AskpassProvider askpassScript_;
    Clock* clock_;  // Clock::shared() when null, looked up at each use
    struct Environments {
        Environment defaults;
        Environment base;  // the default one and the inherited network settings
    };
    const Environments& environments() const;
    mutable std::once_flag environmentsMade_;
    mutable Environments environments_;

    mutable std::mutex cacheMutex_;
    std::unordered_map<std::string, CacheEntry> readOnlyCommandCache_;

    std::mutex activeMutex_;
    std::unordered_map<pid_t, bool> activeProcesses_;  // pid -> killed by cancelActiveCommands()
    std::atomic<std::uint64_t> cancelGeneration_{0};
    std::atomic<int> yielding_{0};
};

}  // namespace vt
