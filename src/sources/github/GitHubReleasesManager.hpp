#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/github/GitHubAssetSelector.hpp"
#include "sources/inventory/MachOArchitecture.hpp"

namespace vt {

class CommandRunning;
class NetworkClient;

enum class GitHubAppCategory { Terminal, Editor, WindowManager, SystemUtility, Developer, Other };
std::string_view rawValue(GitHubAppCategory category);
std::optional<GitHubAppCategory> gitHubAppCategoryFromRaw(std::string_view raw);
// The localized label's key ("enum.github_app_category.window_manager").
std::string_view labelKey(GitHubAppCategory category);

// A check that could not be made: the release could not be fetched or read. The message
// names the repository and what went wrong, never a token.
class GitHubReleasesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GitHubRelease {
    std::string tagName;
    std::optional<std::string> name;
    std::optional<std::string> body;
    std::optional<std::string> publishedAt;
    std::string htmlUrl;
    bool prerelease = false;
    bool draft = false;
    std::vector<GitHubAsset> assets;
};

// One release object of the REST API; throws GitHubReleasesError when it has no tag.
GitHubRelease parseGitHubRelease(const Json& json);

// The version a release tag stands for. A leading "v" or "V" before a digit goes, and so
// does a product prefix ending in a separator ("app-v1.2.3", "Hyper_1.2", "release/2.0"):
// the version starts at the first digit that opens a separator-delimited part. Nothing when
// the tag holds no digit.
std::optional<std::string> versionFromTag(std::string_view tag);

// The category from keywords of the name or identifier.
GitHubAppCategory categoryFromKeywords(std::string_view name, std::string_view bundleIdentifier);

struct GitHubAppEntry {
    GitHubRepository repository;
    GitHubAppCategory category = GitHubAppCategory::Other;
};

// The built-in table of applications known to publish their builds as GitHub releases.
const std::map<std::string, GitHubAppEntry, std::less<>>& builtInGitHubRepositories();
// Parses a table; throws GitHubReleasesError naming the bad entry.
std::map<std::string, GitHubAppEntry, std::less<>> parseGitHubRepositoryTable(std::string_view text);

struct GitHubApp {
    std::string id;
    std::string name;
    std::string bundleIdentifier;
    std::string bundlePath;
    std::string installedVersion;
    GitHubRepository repository;
    GitHubAppCategory category = GitHubAppCategory::Other;
    std::optional<std::string> latestVersion;
    std::optional<std::string> downloadURL;
    std::optional<std::string> downloadSHA256;
    std::optional<std::string> releaseNotes;
    std::optional<Clock::TimePoint> publishedDate;
    std::optional<std::string> updateError;
};

// Recognises installed applications whose releases live in a GitHub repository and finds
// the latest release and the asset that fits each. Thread-safe: checks run in parallel
// under the update-check engine's cap; no lock is held across a request or a command.
class GitHubReleasesManager {
public:
    static constexpr double kRequestTimeLimit = 60.0;
    static constexpr double kProbeTimeLimit = 5.0;
    static constexpr const char* kUserAgent = "Vantreel/1.0";
    static constexpr const char* kAccept = "application/vnd.github.v3+json";
    static constexpr const char* kTokenSecret = "github-token";
    static constexpr const char* kTokenVariable = "GITHUB_TOKEN";
    static constexpr const char* kLegacyTokenKey = "GitHubAPIToken";

    struct Options {
        NetworkClient* network = nullptr;  // required
        CommandRunning* runner = nullptr;  // the wezterm probe is skipped without one
        // The personal access token, read once on first use.
        std::function<std::optional<std::string>()> token;
        std::function<bool()> allowPreRelease;
        // Told once per batch that the rate limit ran out while no token was set.
        std::function<void()> offerToken;
        // Wanted when an application's executable says nothing: this machine's processor.
        AppArchitectureKind fallbackArchitecture = hostArchitecture();
        const std::map<std::string, GitHubAppEntry, std::less<>>* table = nullptr;  // built-in when null
    };

    explicit GitHubReleasesManager(Options options);

    static AppArchitectureKind hostArchitecture();

    // The GitHub identity of an installed application, or nothing; remembered per bundle
    // identifier, path and version, found or not.
    std::optional<GitHubApp> detect(const Application& application);

    // Starts a check run: what the rate limit stopped in the previous run may go again once
    // its reset time has passed.
    void beginBatch();
    // The latest release of a detected application, written into its record; nothing when the
    // application is not on GitHub or the batch was stopped by the rate limit. Throws
    // GitHubReleasesError when the release cannot be fetched or read.
    std::optional<Application> check(const Application& application, std::stop_token stop);
    // The same for a detected application: fills the latest-release fields.
    void fetchLatest(GitHubApp& app, std::stop_token stop);
    // The release of a repository with this tag ("latest": the newest, as for applications),
    // with the same token, headers and rate-limit bookkeeping. Throws GitHubReleasesError,
    // also when the rate limit already stopped this batch.
    GitHubRelease release(const GitHubRepository& repository, const std::string& tag, std::stop_token stop);

    long long rateLimitRemaining() const { return rateLimitRemaining_; }
    std::optional<long long> rateLimitReset() const;
    bool rateLimitExhausted() const { return rateLimitExhausted_; }
    bool rateLimitHitDuringBatch() const { return rateLimitHitDuringBatch_; }
    std::vector<GitHubApp> apps() const;

private:
    using DetectionKey = std::tuple<std::string, std::string, std::string>;
    std::optional<GitHubRepository> searchBundle(const std::string& bundlePath) const;
    std::string installedVersion(const Application& application, const std::string& fallback);
    std::optional<std::string> token();
    Json getJson(const std::string& path, const std::string& repository, std::stop_token stop);
    GitHubRelease newestRelease(const GitHubRepository& repository, std::stop_token stop);

    Options options_;
    mutable std::mutex mutex_;
    std::map<DetectionKey, GitHubApp> found_;
    std::set<DetectionKey> notFound_;
    std::map<std::string, GitHubApp> apps_;  // by bundle path, as last checked
    std::optional<std::string> token_;
    bool tokenLoaded_ = false;
    std::atomic<long long> rateLimitRemaining_{-1};
    std::atomic<long long> rateLimitReset_{-1};
    std::atomic<bool> rateLimitExhausted_{false};
    std::atomic<bool> rateLimitHitDuringBatch_{false};
    std::atomic<bool> stopLogged_{false};
};

// The token: GITHUB_TOKEN when set, else the secret store's entry, else the legacy
// preference (read through `legacy`).
std::optional<std::string> gitHubToken(const std::function<std::optional<std::string>()>& legacy = {});

}  // namespace vt
