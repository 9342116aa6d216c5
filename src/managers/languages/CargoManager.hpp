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
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "managers/InstalledRecords.hpp"
#include "managers/LatestVersionCache.hpp"

namespace vt {

class NetworkClient;

// The adapter for crates installed as binaries with `cargo install`. Listing reads
// `cargo install --list`; crates installed from the registry are compared with the crates
// registry API ("max_stable_version", else "max_version"; a pre-release or a library without
// binaries leaves the installed version standing), several look-ups at once, kept in
// "cargo_cache.json". Crates installed from a path or a Git repository are listed and never
// looked up. An update runs `cargo install NAME --force` and lists again to tell the three
// outcomes apart. Listing and detection never throw for a cargo or registry failure (only
// CancellationError): they publish errorMessage(), naming the registry when it could not be
// reached. update() throws CargoError or CancellationError. Thread-safe; no lock is held while
// cargo runs or a request is sent.
class CargoManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    // A forced install compiles the crate and all its dependencies.
    static constexpr double kInstallTimeout = 1800;
    static constexpr const char* kCacheFileName = "cargo_cache.json";

    struct CargoCrate {
        std::string name;
        std::string version;
        std::optional<std::string> source;  // the path or Git address; absent for the registry
        std::vector<std::string> binaries;

        bool isFromRegistry() const { return !source.has_value(); }
        friend bool operator==(const CargoCrate&, const CargoCrate&) = default;
    };

    struct Options {
        Clock* clock = nullptr;
        NetworkClient* network = nullptr;
        std::optional<std::string> home;       // paths::home() when absent
        std::optional<std::string> cacheFile;  // the cache folder's "cargo_cache.json" when absent
        std::map<std::string, std::string> environment;  // over CARGO_HOME and RUSTUP_HOME of ours
    };

    CargoManager(CommandRunning& runner, const FileSystemManager& files);
    CargoManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~CargoManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // Cargo's records of what it installed (.crates2.json, .crates.toml) and its bin folder.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // `cargo install --list`: a line "NAME vVERSION[ (SOURCE)]:" starts a crate, the indented
    // lines under it are its binaries. Never throws.
    static std::vector<CargoCrate> parseInstallList(std::string_view text);
    // Cargo's own record, .crates.toml: its [v1] table of "NAME VERSION (SOURCE)" keys, each with
    // the binaries installed, which is what `cargo install --list` prints. The source reads as
    // that command shows it: none for crates.io, a path, a Git address with its commit, else the
    // registry's address. An empty record has no crate; nothing when the text is not TOML or its
    // v1 is not a table. Never throws.
    static std::optional<std::vector<CargoCrate>> parseCratesRecord(std::string_view text);
    // The version a crates registry document offers in place of `installed`: "max_stable_version",
    // else "max_version"; `installed` itself for a pre-release or a library without binaries.
    static std::optional<std::string> latestVersionOf(const Json& document, const std::string& name,
                                                      const std::string& installed);
    // home + "/.cargo/bin/cargo", "/opt/homebrew/bin/cargo", "/usr/local/bin/cargo".
    static std::vector<std::string> executableCandidates(const std::string& home);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    std::string home() const;
    std::string cargoHome() const;  // $CARGO_HOME, else home + "/.cargo"
    std::vector<CargoCrate> readInstalled(std::stop_token stop);
    Package makePackage(const CargoCrate& crate) const;

    Options options_;
    InstalledRecords<CargoCrate> installed_{[this](std::stop_token stop) { return readInstalled(stop); }};
    LatestVersionCache latestCache_;
};

}  // namespace vt
