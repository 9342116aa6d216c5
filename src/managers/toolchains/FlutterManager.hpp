#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for the Flutter SDK. Its version comes from the SDK's "flutter.version.json"
// (no process), else `flutter --version --machine` ("frameworkVersion"); the latest stable
// version from the public release manifest of this system ("/releases_macos.json" on a Mac,
// "/releases_linux.json" here), the release that "current_release"."stable" names. Updates run
// `flutter upgrade`, or `brew upgrade flutter` when Homebrew installed it. Thread-safe.
class FlutterManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr const char* kName = "flutter";
    static constexpr double kVersionTimeout = 120;  // the first run unpacks the Dart SDK
    static constexpr double kUpgradeTimeout = 1800;
    // The manifests are a few hundred kilobytes; 32 MB leaves room for years of releases.
    static constexpr std::uint64_t kMaxManifestBytes = 32u * 1024u * 1024u;

    FlutterManager(CommandRunning& runner, const FileSystemManager& files);
    FlutterManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // "/releases_macos.json" or "/releases_linux.json".
    static std::string manifestPath();
    // Never throw: the version of the current stable release, else of the newest stable one.
    static std::optional<std::string> parseStableVersion(std::string_view manifest);
    // "frameworkVersion" of `--version --machine` or of flutter.version.json.
    static std::optional<std::string> parseFrameworkVersion(std::string_view output);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    // The SDK folder: the parent of the resolved executable's bin/.
    std::string sdkRoot() const;
};

}  // namespace vt
