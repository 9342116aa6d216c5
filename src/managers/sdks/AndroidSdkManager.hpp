#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for the Android SDK's packages, through the SDK's own `sdkmanager`. The SDK is
// $ANDROID_HOME, else $ANDROID_SDK_ROOT, else the folder Android Studio uses on this system
// (~/Library/Android/sdk on macOS, ~/Android/Sdk elsewhere); sdkmanager is its
// cmdline-tools/latest/bin (or tools/bin) one, else the PATH's. `sdkmanager --list_installed`
// gives the installed packages ("Path | Version | Description | Location" rows);
// `sdkmanager --list` adds the "Available Updates:" section ("ID | Installed | Available"),
// which sdkmanager computes within the channel the SDK is set to. The update is
// `sdkmanager --install PATH`: sdkmanager installs the newest revision of a path and cannot be
// told one; the listing is read again afterwards. Licences are never accepted on the user's
// behalf: an update needing one fails with sdkmanager's own words. Thread-safe.
class AndroidSdkManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 180;
    static constexpr double kInstallTimeout = 1800;

    struct Row {
        std::string path;     // "build-tools;34.0.0"
        std::string version;  // installed, or the update's available revision
        std::string description;
        std::string available;  // "Available Updates:" rows only

        friend bool operator==(const Row&, const Row&) = default;
    };

    AndroidSdkManager(CommandRunning& runner, const FileSystemManager& files);
    AndroidSdkManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // The rows of one section ("Installed packages:", "Available Updates:") of sdkmanager's
    // table output; nothing when the section is absent.
    static std::vector<Row> parseSection(std::string_view text, std::string_view heading);
    // An SDK path sdkmanager may be given: "platforms;android-34" and the like.
    static bool isPackagePath(std::string_view path);

    std::string sdkRoot() const;

private:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Row> readRows(const std::vector<std::string>& arguments, std::string_view heading,
                              std::stop_token stop, std::optional<std::string>& message);
    static Package makePackage(const Row& row);
};

}  // namespace vt
