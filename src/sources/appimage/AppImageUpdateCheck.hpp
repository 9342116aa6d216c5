#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "sources/appimage/AppImageFile.hpp"
#include "sources/appimage/AppImageUpdateInformation.hpp"

namespace vt {

class AppRuleCatalogService;
class GitHubReleasesManager;
class NetworkClient;

// A check that could not be made (no update information, an unreachable service, a release
// without a matching file). The message says which.
class AppImageCheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file an update would install, exactly: what the row shows and what is verified.
struct AppImageOffer {
    std::string installedVersion;  // X-AppImage-Version, else the installed file's short SHA-1
    std::string version;           // the offered one, in the same form
    std::string downloadURL;
    std::optional<std::string> sha1;    // lower-case hex
    std::optional<std::string> sha256;  // lower-case hex
    std::optional<std::uint64_t> length;
    std::string origin;  // "owner/repo" or the control file's address
    bool isNewer = false;
};

// SHA-1s of installed files, kept by path with the size and modification time they were
// taken at, in one JSON file written atomically. Thread-safe.
class AppImageHashCache {
public:
    explicit AppImageHashCache(std::string path);  // "" keeps nothing on disk
    // The file's SHA-1, hashed only when its size or time changed. Nothing when unreadable.
    std::optional<std::string> sha1(const std::string& file);

private:
    struct Entry {
        std::uint64_t size = 0;
        long long modified = 0;
        std::string sha1;
    };
    void load();
    void save();

    std::string path_;
    std::mutex mutex_;
    bool loaded_ = false;
    std::map<std::string, Entry> entries_;
};

// Finds what an installed AppImage's update information (or, without it, the rule catalog)
// offers: a GitHub release's asset through the GitHub releases engine, or a zsync control
// file's target. Thread-safe; no lock is held across a request.
class AppImageUpdateChecker {
public:
    static constexpr double kRequestTimeLimit = 60.0;
    static constexpr std::uint64_t kMaxControlFileBytes = 16ull * 1024 * 1024;

    struct Options {
        NetworkClient* network = nullptr;  // required
        std::shared_ptr<GitHubReleasesManager> gitHub;  // gh-releases-* fail without it
        std::shared_ptr<const AppRuleCatalogService> rules;
        std::shared_ptr<AppImageHashCache> hashes;  // required
        std::string architecture = hostArchitectureName();  // "x86_64", "aarch64"...
    };

    explicit AppImageUpdateChecker(Options options);

    // The update information an image has, else what the rule catalog knows of its name (a
    // GitHub repository: any AppImage asset of its latest release); nothing when neither.
    std::optional<AppImageUpdateInformation> updateInformation(const AppImageFile& image) const;
    // Throws AppImageCheckError, GitHubReleasesError or CancellationError.
    AppImageOffer check(const AppImageFile& image, std::stop_token stop);
    // The version the row shows for an installed image: its own, else its short SHA-1.
    std::string installedVersion(const AppImageFile& image);

    static std::string hostArchitectureName();
    // Whether a file name names another processor than `architecture`.
    static bool namesOtherArchitecture(std::string_view name, std::string_view architecture);

private:
    AppImageOffer fromGitHub(const AppImageFile& image, const AppImageUpdateInformation& info, std::stop_token stop);
    AppImageOffer fromZsync(const AppImageFile& image, const std::string& controlURL, std::optional<std::string> version,
                            std::stop_token stop);

    Options options_;
};

}  // namespace vt
