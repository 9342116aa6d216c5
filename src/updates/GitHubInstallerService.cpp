#include "updates/GitHubInstallerService.hpp"

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/InstalledVersionCheck.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "system/CommandRunning.hpp"
#include "system/NetworkClient.hpp"
#include "updates/DirectDownloadError.hpp"
#include "base/Localization.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <utility>

namespace vt {

namespace fs = std::filesystem;

namespace {

const Logger& logger() {
    static const Logger instance("GitHubInstallerService");
    return instance;
}

// Lower case with the French accents folded, so "Team ID différent" matches "team id different".
std::string folded(std::string_view text) {
    static const std::array<std::pair<std::string_view, char>, 10> accents = {{
        {"é", 'e'}, {"è", 'e'}, {"ê", 'e'}, {"É", 'e'}, {"à", 'a'}, {"â", 'a'},
        {"ù", 'u'}, {"û", 'u'}, {"ô", 'o'}, {"î", 'i'},
    }};
    std::string lower = toLower(text);
    std::string out;
    for (std::size_t i = 0; i < lower.size();) {
        bool replaced = false;
        for (const auto& [accent, plain] : accents) {
            if (lower.compare(i, accent.size(), accent) == 0) {
                out += plain;
                i += accent.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) out += lower[i++];
    }
    return out;
}

enum class AssetKind { DiskImage, Archive, Other };

AssetKind assetKind(std::string_view fileName) {
    std::string lower = toLower(fileName);
    if (endsWith(lower, ".dmg")) return AssetKind::DiskImage;
    for (std::string_view suffix : {".zip", ".tar", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz", ".txz"})
        if (endsWith(lower, suffix)) return AssetKind::Archive;
    return AssetKind::Other;
}

std::string extensionOf(std::string_view fileName) {
    std::size_t dot = fileName.rfind('.');
    return dot == std::string_view::npos ? std::string(fileName) : std::string(fileName.substr(dot + 1));
}

// The asset's file name: the address's last component without its query.
std::string assetFileName(const std::string& url) {
    std::string_view path = url;
    path = path.substr(0, path.find_first_of("?#"));
    std::string name(lastPathComponent(path));
    return name.empty() || name == "." || name == ".." ? std::string("download") : name;
}

void report(const GitHubInstallerService::ProgressHandler& onProgress, GitHubInstallPhase phase, double progress,
            std::string message) {
    if (!onProgress) return;
    GitHubInstallProgress update;
    update.phase = phase;
    update.progress = progress;
    update.message = std::move(message);
    onProgress(update);
}

}  // namespace

GitHubInstallError GitHubInstallError::downloadFailed(const std::string& detail) {
    return {Kind::DownloadFailed, localized("github.install.download_failed", {detail})};
}
GitHubInstallError GitHubInstallError::httpError(int statusCode) {
    return {Kind::HttpError, localized("github.install.download_failed", {"HTTP " + std::to_string(statusCode)})};
}
GitHubInstallError GitHubInstallError::unsupportedFileType(const std::string& type) {
    return {Kind::UnsupportedFileType, localized("github.install.unsupported_file_type", {type})};
}
GitHubInstallError GitHubInstallError::extractionFailed(const std::string& detail) {
    return {Kind::ExtractionFailed, localized("github.install.extraction_failed", {detail})};
}
GitHubInstallError GitHubInstallError::installFailed(const std::string& detail) {
    return {Kind::InstallFailed, localized("github.install.install_failed", {detail})};
}
GitHubInstallError GitHubInstallError::invalidDownloadURL() {
    return {Kind::InvalidDownloadURL, localized("github.install.invalid_url")};
}
GitHubInstallError GitHubInstallError::noMacOSAsset() {
    return {Kind::NoMacOSAsset, localized("github.install.no_macos_asset")};
}
GitHubInstallError GitHubInstallError::signatureVerificationFailed(const std::string& detail) {
    return {Kind::SignatureVerificationFailed, localized("github.install.signature_failed", {detail})};
}
GitHubInstallError GitHubInstallError::userCancelled() {
    return {Kind::UserCancelled, localized("github.install.cancelled_by_user")};
}
GitHubInstallError GitHubInstallError::insecureDownloadURL(const std::string& url) {
    return {Kind::InvalidDownloadURL, localized("github.install.insecure_url", {url})};
}
GitHubInstallError GitHubInstallError::checksumMismatch(const std::string& description) {
    return {Kind::ChecksumMismatch, description};
}
GitHubInstallError GitHubInstallError::notNewer(const std::string& message) { return {Kind::NotNewer, message}; }
GitHubInstallError GitHubInstallError::appRunning(const std::string& message) { return {Kind::AppRunning, message}; }

bool disablesDirectInstall(std::string_view failureMessage) {
    // The failures a retry cannot mend, recognised by their texts in either language: the
    // first fixed part of each, so that the names and versions in them do not matter.
    const std::string text = folded(failureMessage);
    for (std::string_view key : {"github.install.version_mismatch", "direct.not_the_version_shown",
                                 "github.install.no_macos_asset", "security.invalid_signature",
                                 "security.gatekeeper_refused", "security.team_mismatch"}) {
        for (Language language : {Language::English, Language::French}) {
            const std::string message = localizedIn(language, key);
            for (std::string_view part : split(message, '{')) {
                if (startsWith(part, "}")) part.remove_prefix(1);
                if (trimView(part).empty()) continue;
                if (contains(text, folded(trimView(part)))) return true;
                break;
            }
        }
    }
    return false;
}

// The temporary folder of one install and the image mounted in it; both go when it does.
struct GitHubInstallerService::Staging {
    CommandRunning* runner = nullptr;
    std::string hdiutil;
    std::string folder;
    std::optional<std::string> mountPoint;

    ~Staging() {
        if (mountPoint) {
            CommandRequest request;
            request.command = hdiutil;
            request.arguments = {"detach", *mountPoint, "-quiet"};
            request.timeout = kDetachTimeLimit;
            request.allowNonZeroExit = true;
            try {
                runner->execute(request);
            } catch (const std::exception&) {
                // A volume that will not detach is left to the system; the install's outcome stands.
            }
        }
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

GitHubInstallerService::GitHubInstallerService(Options options)
    : options_(std::move(options)),
      installer_(DirectDownloadInstaller::Options{options_.runner, options_.privileged, options_.tools,
                                                  DirectDownloadInstaller::Wording::gitHub(),
                                                  options_.confirmReplaceRunning}) {}

std::string repositoryOfAsset(const std::string& url) {
    std::vector<std::string_view> parts = split(url, '/');
    for (std::size_t i = 0; i + 2 < parts.size(); ++i) {
        if (parts[i + 2] == "releases" && i >= 3) return std::string(parts[i]) + "/" + std::string(parts[i + 1]);
    }
    return url;
}

GitHubInstallResult GitHubInstallerService::install(const GitHubInstallRequest& request,
                                                    const ProgressHandler& onProgress, std::stop_token stop) {
    std::scoped_lock lock(busy_);
    if (!request.localFile) {
        if (!request.downloadURL || request.downloadURL->empty()) throw GitHubInstallError::noMacOSAsset();
        if (startsWith(toLower(*request.downloadURL), "http://"))
            throw GitHubInstallError::insecureDownloadURL(*request.downloadURL);
        if (!startsWith(toLower(*request.downloadURL), "https://")) throw GitHubInstallError::invalidDownloadURL();
    }
    // Without a version shown there is nothing to hold the download to: nothing is fetched.
    const std::string expected = versionFromTag(request.expectedVersion).value_or(request.expectedVersion);
    if (expected.empty()) throw GitHubInstallError::installFailed(localized("direct.no_version_shown", {request.name}));
    // Nothing is fetched for a release that is not newer than what is installed now.
    if (auto refusal = refusalToReplace(request.name, request.bundlePath, expected))
        throw GitHubInstallError::notNewer(refusal->message);
    try {
        installer_.verifier().requireTools(request.name);
    } catch (const DirectDownloadError& error) {
        throw GitHubInstallError::signatureVerificationFailed(error.message());
    }
    try {
        report(onProgress, GitHubInstallPhase::Downloading, 0, localized("github.install.phase.starting"));
        fs::path base = options_.temporaryFolder.empty() ? fs::temp_directory_path() : fs::path(options_.temporaryFolder);
        Staging staging{options_.runner, options_.tools.hdiutil, (base / ("GitHubInstall-" + Uuid::random().toString())).string(), {}};
        std::error_code ec;
        fs::create_directories(staging.folder, ec);
        if (ec) throw GitHubInstallError::downloadFailed(ec.message());

        logger().info(localized("log.github.repository", {request.repository}));
        std::string file = request.localFile ? *request.localFile : download(request, staging.folder, onProgress, stop);
        if (request.expectedSHA256) {
            try {
                DirectDownloadInstaller::verifyChecksum(file, *request.expectedSHA256);
            } catch (const DirectDownloadError& error) {
                if (error.kind() != DirectDownloadError::Kind::ChecksumMismatch)
                    throw GitHubInstallError::installFailed(error.message());
                throw GitHubInstallError::checksumMismatch(error.description());
            }
        }
        std::string fileName(lastPathComponent(file));
        std::string bundle;
        switch (assetKind(fileName)) {
            case AssetKind::DiskImage: bundle = bundleFromImage(request, file, staging, onProgress, stop); break;
            case AssetKind::Archive: bundle = bundleFromArchive(request, file, staging.folder, onProgress, stop); break;
            case AssetKind::Other: throw GitHubInstallError::unsupportedFileType(extensionOf(fileName));
        }
        installBundle(request, bundle, onProgress, stop);
        std::string version = confirmVersion(request);
        report(onProgress, GitHubInstallPhase::Completed, 1, localized("github.install.phase.completed"));
        return GitHubInstallResult{true, version, request.bundlePath, localized("github.install.phase.completed")};
    } catch (const CancellationError&) {
        throw GitHubInstallError::userCancelled();
    } catch (const fs::filesystem_error& error) {
        // A folder that cannot be made or read (disk full, permissions) ends the install like any failure.
        throw GitHubInstallError::installFailed(error.code().message());
    }
}

std::string GitHubInstallerService::download(const GitHubInstallRequest& request, const std::string& folder,
                                             const ProgressHandler& onProgress, std::stop_token stop) {
    HttpRequest http;
    http.url = *request.downloadURL;
    http.stallTimeoutSeconds = kStallTimeLimit;
    std::string file = folder + "/" + assetFileName(http.url);
    int shownPercent = -1;
    auto progress = [&](const DownloadProgress& received) {
        if (!onProgress) return;
        GitHubInstallProgress update;
        update.phase = GitHubInstallPhase::Downloading;
        update.bytesDownloaded = received.bytesReceived;
        update.totalBytes = received.totalBytes;
        int percent = 0;
        if (received.totalBytes && *received.totalBytes > 0) {
            update.progress = std::min(1.0, static_cast<double>(received.bytesReceived) / static_cast<double>(*received.totalBytes));
            percent = static_cast<int>(std::floor(update.progress * 100));
        }
        if (percent == shownPercent) return;
        shownPercent = percent;
        update.message = localized("github.install.phase.downloading", {std::to_string(percent)});
        onProgress(update);
    };
    try {
        options_.network->download(http, file, progress, stop);
    } catch (const NetworkError& error) {
        if (error.kind() == NetworkError::Kind::InvalidResponse && error.statusCode() > 0)
            throw GitHubInstallError::httpError(error.statusCode());
        if (error.kind() == NetworkError::Kind::InvalidURL) throw GitHubInstallError::invalidDownloadURL();
        throw GitHubInstallError::downloadFailed(error.description());
    } catch (const FileWriteError& error) {
        throw GitHubInstallError::downloadFailed(error.what());
    }
    report(onProgress, GitHubInstallPhase::Downloading, 1, localized("github.install.phase.downloaded"));
    logger().info(localized("log.download_done", {file}));
    return file;
}

std::string GitHubInstallerService::bundleFromImage(const GitHubInstallRequest& request, const std::string& image,
                                                    Staging& staging, const ProgressHandler& onProgress,
                                                    std::stop_token stop) {
    // Disk images exist only where the system can mount them.
    if (::access(options_.tools.hdiutil.c_str(), X_OK) != 0) throw GitHubInstallError::unsupportedFileType("dmg");
    report(onProgress, GitHubInstallPhase::Extracting, 0, localized("github.install.phase.mounting"));
    logger().info(localized("log.github.installing_dmg", {request.name}));
    std::string mount = staging.folder + "/Mount";
    fs::create_directories(mount);
    CommandRequest attach;
    attach.command = options_.tools.hdiutil;
    attach.arguments = {"attach", "-nobrowse", "-mountpoint", mount, image};
    attach.timeout = kMountTimeLimit;
    attach.allowNonZeroExit = true;
    ShellCommandResult result;
    try {
        result = options_.runner->execute(attach, stop);
    } catch (const CommandError& error) {
        throw GitHubInstallError::extractionFailed(localized("github.install.mount_failed", {error.description()}));
    }
    if (result.exitCode != 0) {
        std::string output = trim(result.standardError.empty() ? result.standardOutput : result.standardError);
        throw GitHubInstallError::extractionFailed(localized("github.install.mount_failed", {output}));
    }
    staging.mountPoint = mount;
    std::optional<std::string> bundle =
        ArchiveExtractor::findAppBundle(mount, std::string(lastPathComponent(request.bundlePath)));
    if (!bundle) throw GitHubInstallError::extractionFailed(localized("github.install.no_bundle_in_image"));
    try {
        ArchiveExtractor::requireSelfContained(*bundle);
    } catch (const ArchiveError& error) {
        throw GitHubInstallError::extractionFailed(error.description());
    }
    return *bundle;
}

std::string GitHubInstallerService::bundleFromArchive(const GitHubInstallRequest& request, const std::string& archive,
                                                      const std::string& folder, const ProgressHandler& onProgress,
                                                      std::stop_token stop) {
    report(onProgress, GitHubInstallPhase::Extracting, 0, localized("github.install.phase.extracting"));
    logger().info(localized("log.github.installing_zip", {request.name}));
    std::string unpacked = folder + "/Extracted";
    std::optional<std::string> bundle;
    try {
        ArchiveExtractor(options_.archiveLimits).extract(archive, unpacked, stop);
        bundle = ArchiveExtractor::findAppBundle(unpacked, std::string(lastPathComponent(request.bundlePath)));
        if (bundle) ArchiveExtractor::requireSelfContained(*bundle);
    } catch (const ArchiveError& error) {
        throw GitHubInstallError::extractionFailed(localized("github.install.unpack_failed", {error.description()}));
    }
    if (!bundle) throw GitHubInstallError::extractionFailed(localized("github.install.no_bundle_in_archive"));
    return *bundle;
}

void GitHubInstallerService::installBundle(const GitHubInstallRequest& request, const std::string& bundle,
                                           const ProgressHandler& onProgress, std::stop_token stop) {
    report(onProgress, GitHubInstallPhase::Verifying, 0, localized("github.install.phase.verifying"));
    try {
        installer_.verifier().verify(bundle, request.name, request.bundlePath, stop);
    } catch (const DirectDownloadError& error) {
        throw GitHubInstallError::signatureVerificationFailed(error.message());
    }
    report(onProgress, GitHubInstallPhase::Installing, 0, localized("github.install.phase.copying"));
    logger().info(localized("log.install.copy_from_to", {bundle, request.bundlePath}));
    try {
        installer_.replace(bundle, request.bundlePath, request.name, request.expectedVersion, stop);
    } catch (const DirectDownloadError& error) {
        if (error.kind() == DirectDownloadError::Kind::NotNewer) throw GitHubInstallError::notNewer(error.message());
        if (error.kind() == DirectDownloadError::Kind::AppRunning) throw GitHubInstallError::appRunning(error.message());
        if (error.message() == localized(DirectDownloadInstaller::Wording::gitHub().userCancelled))
            throw GitHubInstallError::userCancelled();
        throw GitHubInstallError::installFailed(error.message());
    }
    report(onProgress, GitHubInstallPhase::Installing, 1, localized("github.install.phase.installed"));
}

std::string GitHubInstallerService::confirmVersion(const GitHubInstallRequest& request) const {
    std::optional<BundleCandidate> installed = readBundle(request.bundlePath);
    if (!installed) throw GitHubInstallError::installFailed(localized("direct.unreadable_installed"));
    std::string expected = versionFromTag(request.expectedVersion).value_or(request.expectedVersion);
    if (compareVersions(installed->version, expected) == VersionOrder::Same) return installed->version;
    throw GitHubInstallError::installFailed(
        localized("github.install.version_mismatch", {request.name, installed->version, expected}));
}

}  // namespace vt
