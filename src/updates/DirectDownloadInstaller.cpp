#include "updates/DirectDownloadInstaller.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "model/VersionRules.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/InstalledVersionCheck.hpp"
#include "system/AdminPrompt.hpp"
#include "system/ContentDigest.hpp"
#include "system/PrivilegedOperations.hpp"
#include "system/RunningProcesses.hpp"
#include "updates/DirectDownloadError.hpp"

namespace vt {

namespace fs = std::filesystem;

namespace {

const Logger& logger() {
    static const Logger instance("DirectDownloadInstaller");
    return instance;
}

// A copy that keeps the links inside a bundle as links (frameworks depend on them).
void copyBundle(const std::string& source, const std::string& destination) {
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

}  // namespace

DirectDownloadInstaller::Wording DirectDownloadInstaller::Wording::gitHub() {
    Wording wording;
    wording.userCancelled = "github.install.cancelled_by_user";
    wording.privilegedFailed = "github.install.privileged_failed";
    wording.elevationFailed = "github.install.elevation_failed";
    return wording;
}

DirectDownloadInstaller::DirectDownloadInstaller(Options options)
    : options_(std::move(options)), verifier_(*options_.runner, options_.tools) {}

void DirectDownloadInstaller::checkReplaceable(const std::string& source, const std::string& destination,
                                               const std::string& displayName, const std::string& expectedVersion) const {
    std::optional<InstalledVersion> downloaded = readInstalledVersion(source);
    if (!downloaded) throw DirectDownloadError::installFailed(localized("direct.unreadable_version"));
    // Only the version the user agreed to goes in place, whatever the publisher serves now.
    const std::string expected = versionFromTag(expectedVersion).value_or(expectedVersion);
    if (expected.empty()) throw DirectDownloadError::installFailed(localized("direct.no_version_shown", {displayName}));
    if (compareVersions(downloaded->version, expected) != VersionOrder::Same) {
        throw DirectDownloadError::installFailed(
            localized("direct.not_the_version_shown", {displayName, downloaded->version, expected}));
    }
    if (auto refusal = refusalToReplace(displayName, destination, downloaded->version, downloaded->buildNumber)) {
        throw DirectDownloadError::notNewer(refusal->message);
    }
    if (processesInside(destination).empty()) return;
    if (!options_.confirmReplaceRunning || !options_.confirmReplaceRunning(displayName)) {
        throw DirectDownloadError::appRunning(displayName);
    }
}

void DirectDownloadInstaller::replace(const std::string& source, const std::string& destination,
                                      const std::string& displayName, const std::string& expectedVersion,
                                      std::stop_token stop) {
    std::scoped_lock lock(busy_);
    if (stop.stop_requested()) throw CancellationError();
    checkReplaceable(source, destination, displayName, expectedVersion);
    const std::string backup = destination + ".backup";
    // The helper is only allowed to write into the standard application folders.
    if (isInStandardLocation(destination) && fs::exists(destination)) {
        std::optional<std::string> unavailable = options_.privileged->helperReplaceApp(destination, source, backup, "");
        if (!unavailable) {
            logger().info(localized("log.install.helper_replaced"));
            verifier_.removeQuarantine(destination, stop);
            return;
        }
        logger().info(localized("log.install.helper_unavailable", {*unavailable}));
    }

    bool backedUp = false;
    std::error_code ec;
    if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) {
        fs::remove_all(backup, ec);
        fs::rename(destination, backup, ec);
        if (ec) {
            logger().warning(localized("log.install.backup_failed", {ec.message()}));
        } else {
            backedUp = true;
            logger().info(localized("log.install.backup_created", {backup}));
        }
    }
    try {
        copyApplication(source, destination, displayName, stop);
    } catch (...) {
        // What was installed goes back; the backup stays beside it.
        if (backedUp) {
            std::error_code ignored;
            fs::remove_all(destination, ignored);
            try {
                copyBundle(backup, destination);
            } catch (const fs::filesystem_error& error) {
                logger().error(localized("log.install.restore_failed", {destination, error.code().message()}));
            }
        }
        throw;
    }
    verifier_.removeQuarantine(destination, stop);
    if (backedUp) fs::remove_all(backup, ec);
}

void DirectDownloadInstaller::copyApplication(const std::string& source, const std::string& destination,
                                              const std::string& displayName, std::stop_token stop) {
    logger().info(localized("log.install.copy_from_to", {source, destination}));
    logger().info(localized("log.install.copy_trying"));
    std::string copyError;
    try {
        std::error_code ec;
        fs::remove_all(destination, ec);
        copyBundle(source, destination);
        logger().info(localized("log.install.copy_done"));
        return;
    } catch (const fs::filesystem_error& error) {
        copyError = error.code().message();
        std::error_code ignored;
        fs::remove_all(destination, ignored);
    }
    logger().warning(localized("log.install.copy_failed", {copyError}));
    if (!options_.privileged->canRequestAuthorization()) {
        logger().error(localized("log.install.copy_no_admin"));
        throw DirectDownloadError::installFailed(localized("direct.copy_failed", {destination, copyError}));
    }
    logger().info(localized("log.install.admin_requesting"));
    const std::string reason = localized("direct.admin_reason", {displayName});
    try {
        options_.privileged->replaceBundleWithAuthorization(source, destination, reason, stop);
        logger().info(localized("log.install.copy_admin_done"));
    } catch (const AdminPromptError& error) {
        switch (error.kind()) {
            case AdminPromptError::Kind::Denied:
                logger().error(localized("log.install.admin_cancelled"));
                throw DirectDownloadError::installFailed(localized(options_.wording.userCancelled));
            case AdminPromptError::Kind::Failed:
                logger().error(localized("log.install.admin_failed", {error.description()}));
                throw DirectDownloadError::installFailed(localized(options_.wording.privilegedFailed, {error.description()}));
            case AdminPromptError::Kind::NotAvailable:
                logger().error(localized("log.install.admin_error", {error.description()}));
                throw DirectDownloadError::installFailed(localized(options_.wording.elevationFailed, {error.description()}));
        }
        throw;
    }
}

void DirectDownloadInstaller::verifyChecksum(const std::string& file, const std::string& expected) {
    std::string lower;
    for (char c : expected) lower += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    const std::optional<std::string> actual = sha256HexOfFile(file);
    if (!actual) throw DirectDownloadError::installFailed(localized("direct.unreadable_file", {file}));
    if (*actual == lower) return;
    logger().error(localized("log.install.checksum_failed", {file}));
    throw DirectDownloadError::checksumMismatch();
}

bool DirectDownloadInstaller::isInStandardLocation(const std::string& bundlePath) {
    fs::path parent = fs::path(bundlePath).lexically_normal().parent_path();
    if (parent == "/Applications" || parent == "/Applications/Utilities") return true;
    std::vector<std::string> parts;
    for (const auto& part : parent) parts.push_back(part.string());
    if (parts.size() == 4 && parts[0] == "/" && parts[1] == "Users" && parts[3] == "Applications") return true;
    return parent == fs::path(paths::home()) / "Applications";
}

}  // namespace vt
