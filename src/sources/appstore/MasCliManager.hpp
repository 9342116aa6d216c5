#pragma once

#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "system/CommandRunning.hpp"

namespace vt {

class MasCliError : public std::runtime_error {
public:
    enum class Kind { NotInstalled };

    static MasCliError notInstalled();

    Kind kind() const noexcept { return kind_; }

private:
    MasCliError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// Finds the `mas` tool on disk and runs it with the time limit its command calls for.
// Thread-safe.
class MasCliManager {
public:
    // Offered when the tool is missing.
    static constexpr const char* kInstallCommand = "brew install mas";

    struct Options {
        CommandRunning* runner = nullptr;  // required
        std::string home;                  // its ".local/bin/mas" is the last candidate
    };

    explicit MasCliManager(Options options);

    static std::vector<std::string> masPaths(const std::string& home);
    // "upgrade"/"install" 900 s; "list", "search", "account", "info", "home" 60 s; no
    // argument 60 s; anything else 300 s. The first argument is compared without case.
    static double timeLimit(const std::vector<std::string>& arguments);

    // Whether output of mas (or of the store behind it) says no App Store account is signed in.
    static bool reportsMissingAccount(std::string_view output);

    // The first existing, executable candidate; logged.
    std::optional<std::string> executable() const;
    bool isInstalled() const { return executable().has_value(); }

    // Runs mas; a non-zero exit is returned, not thrown. Throws MasCliError::notInstalled,
    // CommandError (timeout: "Command timed out"; invalidCommand) or CancellationError.
    ShellCommandResult run(const std::vector<std::string>& arguments, std::stop_token stop = {},
                           std::optional<double> limit = std::nullopt) const;

private:
    Options options_;
};

}  // namespace vt
