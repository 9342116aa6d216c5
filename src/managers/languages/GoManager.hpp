#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "managers/BaseManager.hpp"
#include "managers/InstalledRecords.hpp"
#include "managers/LatestVersionCache.hpp"

namespace vt {

class RegistryProbe;

class NetworkClient;

// The adapter for programs installed with `go install`. The binaries are those of GOBIN, else
// the first GOPATH entry's "bin", else "~/go/bin" (as `go env` reports them); each is read for
// its build metadata with `go version -m` (only files that start like an executable, each
// with a time limit, so a stray script or a huge file costs nothing). A binary without module
// metadata is skipped; a "(devel)" build is listed and never updated. Latest versions come from
// the Go module proxy ("/MODULE/@latest", the path case-encoded), several at once, kept in
// "go_cache.json". An update runs `go install PACKAGE@VERSION` for the binary's main package.
// Listing and detection never throw for a go or proxy failure (only CancellationError); update()
// throws GoError or CancellationError. Thread-safe; no lock is held while go runs.
class GoManager final : public BaseManager {
public:
    static const SourceRow& source();

    // Under a minimum release age, how many versions older than the latest are dated (a request
    // each), newest first: enough to fall back over a burst of releases, few enough to stay polite.
    static constexpr std::size_t kOlderVersionsDated = 10;
    // `go version -m` reads the headers and the build-info section only; a file that keeps it
    // busy longer than this is not one of ours.
    static constexpr double kMetadataTimeout = 10;
    static constexpr double kInstallTimeout = 900;
    static constexpr const char* kCacheFileName = "go_cache.json";
    static constexpr const char* kDevelVersion = "(devel)";

    struct BuildMetadata {
        std::string binaryName;
        std::string commandPath;  // the main package ("golang.org/x/tools/cmd/goimports")
        std::string modulePath;   // its module ("golang.org/x/tools")
        std::string moduleVersion;

        friend bool operator==(const BuildMetadata&, const BuildMetadata&) = default;
    };

    struct Options {
        Clock* clock = nullptr;
        NetworkClient* network = nullptr;
        std::optional<std::string> home;
        std::optional<std::string> cacheFile;
        std::map<std::string, std::string> environment;  // over GOPATH, GOBIN... of ours
    };

    GoManager(CommandRunning& runner, const FileSystemManager& files);
    GoManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~GoManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // The folder `go install` puts programs in, and go's own settings file that may move it;
    // read without running go.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // `go version -m FILE`: the "path" and "mod" lines; nullopt without a "mod" line. Never throws.
    static std::optional<BuildMetadata> parseBuildInfo(std::string_view text, const std::string& binaryName);
    // The module proxy's escaping: every upper-case letter becomes "!" and its lower case.
    static std::string caseEncode(std::string_view modulePath);
    // A module or package path that may go into an address or an argument.
    static bool isModulePath(std::string_view path);
    // Whether the file's first bytes are those of an executable (ELF, Mach-O, PE).
    static bool looksExecutable(std::string_view header);

    // The folder go installs into, as `go env` says (read without running go).
    std::string binaryFolder() const;

private:
    std::string home() const;
    std::map<std::string, std::string> environment() const;
    std::string settingsFile() const;
    std::optional<BuildMetadata> readMetadata(const std::string& file, std::stop_token stop);
    std::vector<BuildMetadata> readInstalled(std::stop_token stop);
    static Package makePackage(const BuildMetadata& metadata);
    // The proxy's released versions newer than `installed` and older than `latest`, newest first,
    // at most kOlderVersionsDated of them.
    static std::vector<std::string> versionsBetween(RegistryProbe& proxy, const std::string& module,
                                                    const std::string& installed, const std::string& latest,
                                                    std::stop_token stop);

    Options options_;
    InstalledRecords<BuildMetadata> installed_{[this](std::stop_token stop) { return readInstalled(stop); }};
    LatestVersionCache latestCache_;
};

}  // namespace vt
