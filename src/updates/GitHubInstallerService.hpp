#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "updates/ArchiveExtractor.hpp"
#include "updates/DirectDownloadInstaller.hpp"
#include "updates/InstallTools.hpp"

namespace vt {

class CommandRunning;
class NetworkClient;
class PrivilegedOperations;

enum class GitHubInstallPhase { Downloading, Extracting, Installing, Verifying, Completed, Failed };

struct GitHubInstallProgress {
    GitHubInstallPhase phase = GitHubInstallPhase::Downloading;
    double progress = 0;  // 0 to 1
    std::string message;
    std::optional<std::uint64_t> bytesDownloaded;
    std::optional<std::uint64_t> totalBytes;
};

struct GitHubInstallResult {
    bool success = false;
    std::string installedVersion;
    std::string destinationPath;
    std::string message;
};

class GitHubInstallError : public std::runtime_error {
public:
    enum class Kind {
        DownloadFailed,
        HttpError,
        UnsupportedFileType,
        ExtractionFailed,
        InstallFailed,
        InvalidDownloadURL,
        NoMacOSAsset,
        SignatureVerificationFailed,
        UserCancelled,
        ChecksumMismatch,  // the file is not the one the release published
        NotNewer,          // what is installed now is as new or newer: nothing was replaced
        AppRunning,        // the application runs and the user did not agree to replace it
    };

    static GitHubInstallError downloadFailed(const std::string& detail);
    static GitHubInstallError httpError(int statusCode);
    static GitHubInstallError unsupportedFileType(const std::string& type);
    static GitHubInstallError extractionFailed(const std::string& detail);
    static GitHubInstallError installFailed(const std::string& detail);
    static GitHubInstallError invalidDownloadURL();
    // A plain http address: nothing is downloaded that anyone on the way could change.
    static GitHubInstallError insecureDownloadURL(const std::string& url);
    static GitHubInstallError noMacOSAsset();
    static GitHubInstallError signatureVerificationFailed(const std::string& detail);
    static GitHubInstallError userCancelled();
    static GitHubInstallError checksumMismatch(const std::string& description);
    static GitHubInstallError notNewer(const std::string& message);
    static GitHubInstallError appRunning(const std::string& message);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    GitHubInstallError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
    Kind kind_;
};

// Whether a failed install's message means the release cannot be installed directly (its
// asset holds another version, no macOS asset, a refused signature or team), so the application is
// offered for manual update until a newer version appears.
bool disablesDirectInstall(std::string_view failureMessage);

// "owner/repo" of a release asset's address (".../OWNER/REPO/releases/download/..."), for the
// log; the address itself when it is not one.
std::string repositoryOfAsset(const std::string& url);

// What to install: an application tracked through GitHub releases and its release asset.
struct GitHubInstallRequest {
    std::string name;
    std::string bundlePath;       // the installed bundle, replaced
    std::string repository;       // "owner/repo", for the log
    std::optional<std::string> downloadURL;
    std::string expectedVersion;  // the version shown (a tag is read as its version): required
    // The SHA-256 the release gives for the asset (lower-case hex): the file must match it.
    std::optional<std::string> expectedSHA256 = std::nullopt;
    // A file already downloaded (a manual download): installed from there, nothing fetched.
    std::optional<std::string> localFile = std::nullopt;
};

// Downloads a release asset (https only) into a fresh "GitHubInstall-" folder, checks its
// SHA-256 when the release gives one, mounts the disk image or unpacks the archive, verifies
// the bundle inside and puts it in place of the installed one, then reads the installed
// version again. Nothing is downloaded without an expected version or when the bundle
// installed now is as new as it, and nothing is replaced when the unpacked bundle is not of
// exactly that version or not newer than the installed one. Reports each phase through the
// callback (on the calling thread). Throws GitHubInstallError; cancellation by `stop` is userCancelled. The
// temporary folder is always removed. One install at a time per instance.
class GitHubInstallerService {
public:
    static constexpr double kStallTimeLimit = 60.0;
    static constexpr double kMountTimeLimit = 120.0;
    static constexpr double kDetachTimeLimit = 10.0;

    struct Options {
        NetworkClient* network = nullptr;            // required
        CommandRunning* runner = nullptr;            // required
        PrivilegedOperations* privileged = nullptr;  // required
        InstallTools tools;
        std::string temporaryFolder;                 // the system's when empty
        ArchiveLimits archiveLimits;
        // Whether a running application may be replaced under itself; refused when absent.
        std::function<bool(const std::string& appName)> confirmReplaceRunning;
    };
    using ProgressHandler = std::function<void(const GitHubInstallProgress&)>;

    explicit GitHubInstallerService(Options options);

    GitHubInstallResult install(const GitHubInstallRequest& request, const ProgressHandler& onProgress = {},
                                std::stop_token stop = {});

private:
    struct Staging;
    std::string download(const GitHubInstallRequest& request, const std::string& folder, const ProgressHandler& onProgress,
                         std::stop_token stop);
    std::string bundleFromImage(const GitHubInstallRequest& request, const std::string& image, Staging& staging,
                                const ProgressHandler& onProgress, std::stop_token stop);
    std::string bundleFromArchive(const GitHubInstallRequest& request, const std::string& archive,
                                  const std::string& folder, const ProgressHandler& onProgress, std::stop_token stop);
    void installBundle(const GitHubInstallRequest& request, const std::string& bundle, const ProgressHandler& onProgress,
                       std::stop_token stop);
    std::string confirmVersion(const GitHubInstallRequest& request) const;

    Options options_;
    DirectDownloadInstaller installer_;
    std::mutex busy_;
};

}  // namespace vt
