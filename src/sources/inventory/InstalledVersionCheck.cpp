#include "sources/inventory/InstalledVersionCheck.hpp"

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("InstalledVersionCheck");
    return instance;
}

bool isNewer(const InstalledVersion& installed, const std::string& offeredVersion,
             const std::optional<std::string>& offeredBuild) {
    const bool bothBuilds = installed.buildNumber && offeredBuild && !installed.buildNumber->empty() &&
                            !offeredBuild->empty();
    if (isPlaceholderVersion(installed.version)) {
        return !bothBuilds || compareVersions(*installed.buildNumber, *offeredBuild) == VersionOrder::Ascending;
    }
    switch (compareVersions(installed.version, offeredVersion)) {
        case VersionOrder::Ascending: return true;
        case VersionOrder::Descending: return false;
        case VersionOrder::Same: break;
    }
    return bothBuilds && compareVersions(*installed.buildNumber, *offeredBuild) == VersionOrder::Ascending;
}

std::string withBuild(const std::string& version, const std::optional<std::string>& build) {
    if (!build || build->empty() || *build == version) return version;
    return version + " (" + *build + ")";
}

}  // namespace

std::optional<InstalledVersion> readInstalledVersion(const std::string& bundlePath) {
    std::optional<BundleCandidate> bundle = readBundle(bundlePath);
    if (!bundle) return std::nullopt;
    return InstalledVersion{bundle->version, bundle->buildNumber};
}

std::optional<ReplacementRefusal> refusalToReplace(const std::string& name,
                                                   const std::optional<InstalledVersion>& installedNow,
                                                   const std::string& offeredVersion,
                                                   const std::optional<std::string>& offeredBuild) {
    ReplacementRefusal refusal;
    if (!installedNow) {
        refusal.kind = ReplacementRefusal::Kind::NotInstalled;
        refusal.message = localized("update.refused_not_installed", {name});
    } else if (isNewer(*installedNow, offeredVersion, offeredBuild)) {
        return std::nullopt;
    } else {
        refusal.installedVersion = installedNow->version;
        refusal.message = localized("update.refused_not_newer",
                                    {name, withBuild(installedNow->version, installedNow->buildNumber),
                                     withBuild(offeredVersion, offeredBuild)});
    }
    logger().warning(refusal.message);
    return refusal;
}

std::optional<ReplacementRefusal> refusalToReplace(const std::string& name, const std::string& bundlePath,
                                                   const std::string& offeredVersion,
                                                   const std::optional<std::string>& offeredBuild) {
    return refusalToReplace(name, readInstalledVersion(bundlePath), offeredVersion, offeredBuild);
}

}  // namespace vt
