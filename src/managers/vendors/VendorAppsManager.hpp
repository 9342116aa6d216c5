#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"

namespace vt {

// The vendors' applications that only their own updaters update, on macOS: Apple's developer
// tools (Xcode and the Command Line Tools), Adobe Creative Cloud's applications, Microsoft
// Office's. Each is read from its bundles (Contents/Info.plist's CFBundleShortVersionString)
// in the applications folders, which are data (tests give folders of their own). The Command
// Line Tools' version is pkgutil's, and their newer version the system's update list
// (`softwareupdate -l --no-scan`) names; Adobe's and Microsoft's updaters keep no list that is
// documented, so those rows carry no latest version of their own. No row is updated here: each
// says which updater does it (requiresManualInstaller), and update() throws
// PackageManualUpdateRequiredError with that. On a system without such folders the source is
// absent: no row, no error. Thread-safe.
class VendorAppsManager final : public BaseManager {
public:
    enum class Vendor { AppleDeveloperTools, AdobeCreativeCloud, MicrosoftOffice };

    static const SourceRow& source(Vendor vendor);

    struct Options {
        std::vector<std::string> applicationFolders{"/Applications"};
        std::string commandLineToolsFolder = "/Library/Developer/CommandLineTools";
        std::string pkgutil = "/usr/sbin/pkgutil";
        std::string softwareupdate = "/usr/sbin/softwareupdate";
        std::string plutil = "/usr/bin/plutil";
    };

    VendorAppsManager(Vendor vendor, CommandRunning& runner, const FileSystemManager& files);
    VendorAppsManager(Vendor vendor, CommandRunning& runner, const FileSystemManager& files, Options options);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // CFBundleShortVersionString (else CFBundleVersion) of an XML property list.
    static std::optional<std::string> plistVersion(std::string_view xml);
    // "Title: Command Line Tools for Xcode, Version: 16.2, ..." lines: the newest such version.
    static std::optional<std::string> commandLineToolsUpdate(std::string_view softwareupdateList);

private:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;
    // The bundles of this vendor: (name, path).
    std::vector<std::pair<std::string, std::string>> bundles() const;
    std::optional<std::string> bundleVersion(const std::string& bundle, std::stop_token stop);
    std::vector<Package> read(std::stop_token stop);
    Package makePackage(const std::string& name, const std::string& version) const;

    Vendor vendor_;
    Options options_;
};

}  // namespace vt
