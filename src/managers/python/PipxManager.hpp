#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class NetworkClient;

// The adapter for applications installed with pipx, each in a virtual environment of its
// own. Listing reads `pipx list --json`; the latest versions come from the PyPI JSON API
// (through the Endpoints table, with the registry conventions: a failed lookup is "no
// information" for that one application), several lookups at once. An application pipx
// installed from a path, a URL or a Git repository is listed without a latest version:
// PyPI does not say what that source offers. An update runs `pipx upgrade VENV`.
// Listing and detection never throw for a pipx failure (only CancellationError): they
// publish errorMessage(). update() throws PipError (a name pipx would misread),
// CommandError or CancellationError. Thread-safe; no lock is held while pipx runs or a
// request is sent.
class PipxManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kUpgradeTimeout = 600;
    static constexpr std::size_t kConcurrentLookups = 8;

    struct Application {
        std::string venv;     // the name pipx knows it by (the package, or with a suffix)
        std::string package;  // the main package
        std::string version;
        std::string source;  // what it was installed from: a requirement, a path or a URL

        friend bool operator==(const Application&, const Application&) = default;
    };
    struct Parsed {
        std::vector<Application> applications;
        std::optional<std::string> error;
    };

    struct Options {
        NetworkClient* network = nullptr;          // the one the façade gives, else the shared one, when null
        std::function<void()> invalidateListings;  // derived from a CommandRunner when empty
    };

    PipxManager(CommandRunning& runner, const FileSystemManager& files);
    PipxManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~PipxManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // pipx's environments and each one's metadata, which every install and upgrade writes.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // `pipx list --json`: "venvs" → each → "metadata" → "main_package" → "package",
    // "package_version", "package_or_url". Never throws.
    static Parsed parseList(std::string_view text);
    // Whether PyPI answers for what the application was installed from.
    static bool isFromRegistry(const Application& application);
    // The latest version of a PyPI JSON document ("info" → "version").
    static std::optional<std::string> latestVersionOf(const Json& document);

private:
    // Where pipx keeps its applications: PIPX_HOME, its XDG data folder, its older ~/.local/pipx.
    static std::vector<std::string> pipxHomes();
    bool hasApplications() const;
    Parsed runList(std::stop_token stop);
    struct Latest {
        std::string version;
        std::vector<PublishedRelease> releases;  // when a minimum release age applies
    };
    std::optional<Latest> latestVersion(const std::string& package, std::stop_token stop);

    Options options_;
    std::mutex pipxMutex_;
    std::vector<Application> lastApplications_;
};

}  // namespace vt
