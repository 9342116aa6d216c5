#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

class LatestVersionCache;

// The adapter for SDKMAN's candidates. SDKMAN is a shell function, not an executable: it is
// found by its folder ($SDKMAN_DIR, else ~/.sdkman) holding "/bin/sdkman-init.sh". Listing
// reads the candidates and versions on disk (the "current" link is the default version);
// the latest version of each candidate comes from the candidates API
// ("/2/candidates/default/NAME", answered in plain text), kept in "sdkman_candidates.json".
// Updates and default changes run bash with a fixed one-line script whose values are
// positional arguments, never part of the script text. Thread-safe.
class SdkmanManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr const char* kBash = "/bin/bash";
    static constexpr const char* kCacheFileName = "sdkman_candidates.json";
    static constexpr double kInstallTimeout = 1800;
    static constexpr double kDefaultTimeout = 120;

    struct Candidate {
        std::string name;
        std::vector<std::string> versions;  // in name order
        std::optional<std::string> current;  // the default, else the newest installed
    };

    SdkmanManager(CommandRunning& runner, const FileSystemManager& files);
    SdkmanManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~SdkmanManager() override;

    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }
    // Makes `version` the default of `candidate` (`sdk default`).
    void setDefault(const std::string& candidate, const std::string& version, std::stop_token stop);

    std::string sdkmanFolder() const;
    std::vector<Candidate> readCandidates() const;
    // "enum.sdkman_category.jdk", "...languages", "...build_tools", "...frameworks" or "...other".
    static std::string categoryKey(std::string_view candidate);
    // The script bash runs: $1 the SDKMAN folder, $2 the init script, then the sdk subcommand's
    // candidate and version as $3 and $4.
    static std::string script(std::string_view subcommand);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    void runSdk(std::string_view subcommand, const std::string& candidate, const std::string& version,
                double timeout, std::stop_token stop);
    std::string initScript() const;

    std::unique_ptr<LatestVersionCache> latest_;
};

}  // namespace vt
