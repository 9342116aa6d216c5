#include "sources/github/GitHubReleasesManager.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <sys/utsname.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "sources/KnownSources.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/CommandRunning.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"
#include "system/SecretStore.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("GitHubReleasesManager");
    return instance;
}

constexpr std::size_t kMaximumSearchedFileBytes = 1024 * 1024;
constexpr std::size_t kMaximumSearchedPlists = 64;
constexpr const char* kWezTerm = "com.github.wez.wezterm";

struct CategoryName {
    GitHubAppCategory category;
    std::string_view raw;
    std::string_view label;
};
constexpr std::array kCategories = {
    CategoryName{GitHubAppCategory::Terminal, "terminal", "enum.github_app_category.terminal"},
    CategoryName{GitHubAppCategory::Editor, "editor", "enum.github_app_category.editor"},
    CategoryName{GitHubAppCategory::WindowManager, "windowManager", "enum.github_app_category.window_manager"},
    CategoryName{GitHubAppCategory::SystemUtility, "systemUtility", "enum.github_app_category.system_utility"},
    CategoryName{GitHubAppCategory::Developer, "developer", "enum.github_app_category.developer"},
    CategoryName{GitHubAppCategory::Other, "other", "enum.github_app_category.other"},
};

std::optional<std::string> optionalText(const Json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<Clock::TimePoint> parseTimestamp(const std::string& text) {
    std::tm parts{};
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &zone) != 7 ||
        zone != 'Z') {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&parts);
    if (seconds == -1) return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds);
}

// A text with every occurrence of the token masked, for anything that may be shown or kept.
std::string scrubbed(std::string text, const std::optional<std::string>& token) {
    if (!token || token->empty()) return text;
    for (std::size_t at = text.find(*token); at != std::string::npos; at = text.find(*token, at)) {
        text.replace(at, token->size(), "***");
    }
    return text;
}

// The key: value pairs of a small YAML file, quotes removed; nested keys are ignored.
std::map<std::string, std::string> yamlPairs(std::string_view text) {
    std::map<std::string, std::string> pairs;
    for (std::string_view line : splitLines(text)) {
        if (line.empty() || std::isspace(static_cast<unsigned char>(line.front())) || line.front() == '#') continue;
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string value = trim(line.substr(colon + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        pairs.emplace(trim(line.substr(0, colon)), value);
    }
    return pairs;
}

bool validName(std::string_view name) {
    if (name.empty() || name.size() > 100 || name == "." || name == "..") return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    }
    return true;
}

// "sha256:HEX" as GitHub gives an asset's digest; nothing for another algorithm or a malformed value.
std::optional<std::string> sha256OfDigest(std::string_view digest) {
    constexpr std::string_view kPrefix = "sha256:";
    if (!startsWith(digest, kPrefix)) return std::nullopt;
    std::string hex = toLower(digest.substr(kPrefix.size()));
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    return hex;
}

std::optional<std::string> readSmall(const std::string& path) {
    std::optional<std::string> text = readFile(path);
    if (!text || text->size() > kMaximumSearchedFileBytes) return std::nullopt;
    return text;
}

}  // namespace

std::string_view rawValue(GitHubAppCategory category) {
    for (const CategoryName& entry : kCategories) {
        if (entry.category == category) return entry.raw;
    }
    return "other";
}

std::optional<GitHubAppCategory> gitHubAppCategoryFromRaw(std::string_view raw) {
    for (const CategoryName& entry : kCategories) {
        if (entry.raw == raw) return entry.category;
    }
    return std::nullopt;
}

std::string_view labelKey(GitHubAppCategory category) {
    for (const CategoryName& entry : kCategories) {
        if (entry.category == category) return entry.label;
    }
    return "enum.github_app_category.other";
}

GitHubRelease parseGitHubRelease(const Json& json) {
    if (!json.is_object()) throw GitHubReleasesError("the release is not a JSON object");
    GitHubRelease release;
    release.tagName = optionalText(json, "tag_name").value_or("");
    if (release.tagName.empty()) throw GitHubReleasesError("the release has no tag");
    release.name = optionalText(json, "name");
    release.body = optionalText(json, "body");
    release.publishedAt = optionalText(json, "published_at");
    release.htmlUrl = optionalText(json, "html_url").value_or("");
    // A flag of another type reads as absent: json.value() would throw for it.
    release.prerelease = boolField(json, "prerelease").value_or(false);
    release.draft = boolField(json, "draft").value_or(false);
    auto assets = json.find("assets");
    if (assets != json.end() && assets->is_array()) {
        release.assets.reserve(assets->size());
        for (const Json& item : *assets) {
            if (!item.is_object()) continue;
            GitHubAsset asset;
            asset.name = optionalText(item, "name").value_or("");
            asset.browserDownloadUrl = optionalText(item, "browser_download_url").value_or("");
            if (asset.name.empty() || asset.browserDownloadUrl.empty()) continue;
            asset.contentType = optionalText(item, "content_type");
            if (auto size = item.find("size"); size != item.end() && size->is_number_integer()) {
                asset.size = size->get<long long>();
            }
            asset.sha256 = sha256OfDigest(optionalText(item, "digest").value_or(""));
            release.assets.push_back(std::move(asset));
        }
    }
    return release;
}

std::optional<std::string> versionFromTag(std::string_view tag) {
    std::string_view text = trimView(tag);
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) continue;
        std::size_t start = at;
        if (start > 0 && (text[start - 1] == 'v' || text[start - 1] == 'V')) --start;
        // The number must open a part of the tag: "app-v1.2", "v1.2", "1.2"; not "x264-1".
        if (start == 0 || std::string_view("-_/@ ").find(text[start - 1]) != std::string_view::npos) {
            return std::string(text.substr(at));
        }
    }
    return std::nullopt;
}

GitHubAppCategory categoryFromKeywords(std::string_view name, std::string_view bundleIdentifier) {
    std::string text = toLower(name);
    text += ' ';
    text += toLower(bundleIdentifier);
    static const std::array<std::pair<GitHubAppCategory, std::vector<std::string_view>>, 5> kKeywords = {{
        {GitHubAppCategory::Terminal, {"terminal", "iterm", "alacritty", "kitty", "wezterm", "warp"}},
        {GitHubAppCategory::Editor, {"code", "editor", "sublime", "atom", "neovim"}},
        {GitHubAppCategory::WindowManager, {"rectangle", "magnet", "amethyst", "yabai"}},
        {GitHubAppCategory::SystemUtility, {"stats", "monitor", "menu bar", "system"}},
        {GitHubAppCategory::Developer, {"github", "git"}},
    }};
    for (const auto& [category, words] : kKeywords) {
        for (std::string_view word : words) {
            if (contains(text, word)) return category;
        }
    }
    return GitHubAppCategory::Other;
}

std::map<std::string, GitHubAppEntry, std::less<>> parseGitHubRepositoryTable(std::string_view text) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) throw GitHubReleasesError("the GitHub repository table is not a JSON object");
    std::map<std::string, GitHubAppEntry, std::less<>> table;
    for (const auto& [identifier, value] : json->items()) {
        std::string repository = value.is_object() ? optionalText(value, "repository").value_or("") : "";
        std::size_t slash = repository.find('/');
        GitHubAppEntry entry;
        if (slash != std::string::npos) entry.repository = {repository.substr(0, slash), repository.substr(slash + 1)};
        std::optional<GitHubAppCategory> category =
            gitHubAppCategoryFromRaw(value.is_object() ? optionalText(value, "category").value_or("") : "");
        if (identifier.empty() || !validName(entry.repository.owner) || !validName(entry.repository.repo) ||
            !category) {
            throw GitHubReleasesError("the GitHub repository table's entry for \"" + identifier + "\" is invalid");
        }
        entry.category = *category;
        table.emplace(identifier, std::move(entry));
    }
    return table;
}

const std::map<std::string, GitHubAppEntry, std::less<>>& builtInGitHubRepositories() {
    static const auto table = [] {
        try {
            return parseGitHubRepositoryTable(embeddedResource("github_repositories.json").value_or(""));
        } catch (const GitHubReleasesError& error) {
            logger().error(error.what());
            return std::map<std::string, GitHubAppEntry, std::less<>>{};
        }
    }();
    return table;
}

std::optional<std::string> gitHubToken(const std::function<std::optional<std::string>()>& legacy) {
    if (auto value = paths::environmentValue(GitHubReleasesManager::kTokenVariable)) return trim(*value);
    if (auto stored = SecretStore().read(GitHubReleasesManager::kTokenSecret)) {
        logger().info(localized("log.github.token_loaded"));
        return stored;
    }
    if (legacy) {
        if (auto value = legacy(); value && !trimView(*value).empty()) return trim(*value);
    }
    return std::nullopt;
}

GitHubReleasesManager::GitHubReleasesManager(Options options) : options_(std::move(options)) {
    if (options_.network == nullptr) throw std::invalid_argument("GitHubReleasesManager needs a network client");
}

AppArchitectureKind GitHubReleasesManager::hostArchitecture() {
    struct utsname system {};
    if (::uname(&system) != 0) return AppArchitectureKind::Unknown;
    std::string_view machine = system.machine;
    if (machine == "arm64" || machine == "aarch64") return AppArchitectureKind::AppleSilicon;
    if (machine == "x86_64") return AppArchitectureKind::Intel;
    return AppArchitectureKind::Unknown;
}

std::optional<GitHubRepository> GitHubReleasesManager::searchBundle(const std::string& bundlePath) const {
    const std::string resources = bundlePath + "/Contents/Resources";
    if (auto yaml = readSmall(resources + "/app-update.yml")) {
        auto pairs = yamlPairs(*yaml);
        if (pairs["provider"] == "github" && validName(pairs["owner"])) {
            std::string repo = pairs["repo"];
            if (endsWith(repo, ".git")) repo.resize(repo.size() - 4);
            if (validName(repo)) return GitHubRepository{pairs["owner"], repo};
        }
    }
    if (auto text = readSmall(resources + "/app/package.json")) {
        if (std::optional<Json> json = parseJson(*text); json && json->is_object()) {
            auto repository = json->find("repository");
            std::string address;
            if (repository != json->end() && repository->is_string()) address = repository->get<std::string>();
            if (repository != json->end() && repository->is_object()) {
                address = optionalText(*repository, "url").value_or("");
            }
            if (auto found = gitHubRepositoryIn(address)) return found;
        }
    }
    // Sparkle's own plist names its own repository, which is no application's.
    auto notSparkle = [](const std::optional<GitHubRepository>& found) {
        return found && !equalsIgnoringCase(found->owner, "sparkle-project");
    };
    for (const char* plist : {"/Contents/Frameworks/Sparkle.framework/Resources/Info.plist", "/Contents/Info.plist"}) {
        if (auto text = readSmall(bundlePath + plist)) {
            if (auto found = gitHubRepositoryIn(*text); notSparkle(found)) return found;
        }
    }
    if (DIR* dir = ::opendir(resources.c_str())) {
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(dir)) {
            if (endsWith(entry->d_name, ".plist") && names.size() < kMaximumSearchedPlists) names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (auto text = readSmall(resources + "/" + name)) {
                if (auto found = gitHubRepositoryIn(*text); notSparkle(found)) return found;
            }
        }
    }
    return std::nullopt;
}

std::string GitHubReleasesManager::installedVersion(const Application& application, const std::string& fallback) {
    if (application.bundleIdentifier == kWezTerm && options_.runner != nullptr) {
        const std::string binary = application.bundlePath + "/Contents/MacOS/wezterm";
        try {
            CommandRequest request;
            request.command = binary;
            request.arguments = {"--version"};
            request.timeout = kProbeTimeLimit;
            request.allowNonZeroExit = true;
            ShellCommandResult result = options_.runner->execute(request);
            if (result.exitCode != 0) {
                logger().warning(
                    localized("log.github.probe_exit", {std::to_string(result.exitCode), application.name}));
                return fallback;
            }
            static const Regex pattern(R"(wezterm\s+(\S+))");
            if (auto match = pattern.search(result.standardOutput); match && match->groups.at(0)) {
                std::string version(*match->groups[0]);
                logger().info(localized("log.github.probe_version", {version, application.name}));
                return version;
            }
            logger().warning(
                localized("log.github.probe_no_match", {application.name, excerpt(result.standardOutput, 80)}));
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(localized("log.github.probe_failed", {application.name, error.what()}));
        }
        return fallback;
    }
    if (auto text = readFile(application.bundlePath + "/Contents/Info.plist")) {
        if (auto list = PropertyList::parse(*text)) {
            if (auto warp = list->root().member("WarpVersion")) {
                if (auto value = warp->text(); value && !value->empty()) return *value;
            }
        }
    }
    return fallback;
}

std::optional<GitHubApp> GitHubReleasesManager::detect(const Application& application) {
    if (application.bundleIdentifier.empty()) return std::nullopt;
    DetectionKey key{application.bundleIdentifier, application.bundlePath, application.version};
    {
        std::scoped_lock lock(mutex_);
        if (auto hit = found_.find(key); hit != found_.end()) return hit->second;
        if (notFound_.count(key)) return std::nullopt;
    }
    const auto& table = options_.table != nullptr ? *options_.table : builtInGitHubRepositories();
    std::optional<GitHubApp> app;
    std::optional<CatalogMatch> rule = AppRuleCatalogService::shared()->lookup(application.bundleIdentifier);
    // A rule's repository stands whether GitHub is its primary source or a fallback.
    if (rule && rule->rule.github) {
        app.emplace();
        app->repository = GitHubRepository{rule->rule.github->owner, rule->rule.github->repo};
        app->category = categoryFromKeywords(application.name, application.bundleIdentifier);
    } else if (auto known = table.find(application.bundleIdentifier); known != table.end()) {
        app.emplace();
        app->repository = known->second.repository;
        app->category = known->second.category;
    } else if (auto found = searchBundle(application.bundlePath)) {
        logger().info(localized("log.github.repo_discovered", {application.name, found->id()}));
        app.emplace();
        app->repository = *found;
        app->category = categoryFromKeywords(application.name, application.bundleIdentifier);
    }
    if (app) {
        app->id = application.bundlePath;
        app->name = application.name;
        app->bundleIdentifier = application.bundleIdentifier;
        app->bundlePath = application.bundlePath;
        app->installedVersion = installedVersion(application, application.version);
    }
    std::scoped_lock lock(mutex_);
    if (app) {
        found_[key] = *app;
    } else {
        notFound_.insert(key);
    }
    return app;
}

void GitHubReleasesManager::beginBatch() {
    rateLimitHitDuringBatch_ = false;
    stopLogged_ = false;
    const long long reset = rateLimitReset_;
    if (rateLimitExhausted_ && reset >= 0 && std::time(nullptr) >= reset) rateLimitExhausted_ = false;
}

std::optional<long long> GitHubReleasesManager::rateLimitReset() const {
    long long reset = rateLimitReset_;
    if (reset < 0) return std::nullopt;
    return reset;
}

std::optional<std::string> GitHubReleasesManager::token() {
    std::scoped_lock lock(mutex_);
    if (!tokenLoaded_) {
        token_ = options_.token ? options_.token() : std::nullopt;
        tokenLoaded_ = true;
    }
    return token_;
}

Json GitHubReleasesManager::getJson(const std::string& path, const std::string& repository, std::stop_token stop) {
    const std::optional<std::string> secret = token();
    HttpRequest request;
    request.url = Endpoints::url(Service::GitHubApi, path);
    request.timeoutSeconds = kRequestTimeLimit;
    request.headers.set("Accept", kAccept);
    request.headers.set("User-Agent", kUserAgent);
    if (secret) request.headers.set("Authorization", "Bearer " + *secret);
    HttpResponse response;
    try {
        response = options_.network->send(request, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        throw GitHubReleasesError(scrubbed(repository + ": " + error.what(), secret));
    }
    if (auto remaining = response.rateLimitRemaining()) rateLimitRemaining_ = *remaining;
    if (auto reset = response.rateLimitReset()) rateLimitReset_ = *reset;
    if (response.rateLimitRemaining() == 0) {
        rateLimitExhausted_ = true;
        if (!rateLimitHitDuringBatch_.exchange(true)) {
            logger().warning(localized("log.github.rate_limited", {repository}));
            if (!secret && options_.offerToken) options_.offerToken();
        }
    }
    if (response.statusCode != 200) {
        std::string message = repository + ": HTTP " + std::to_string(response.statusCode);
        if (auto json = parseJson(response.body); json && json->is_object()) {
            if (auto text = optionalText(*json, "message")) {
                message += " (";
                message += excerpt(sanitizeUtf8(*text), 200);
                message += ")";
            }
        }
        throw GitHubReleasesError(scrubbed(message, secret));
    }
    std::optional<Json> json = parseJson(response.body);
    if (!json) throw GitHubReleasesError(repository + ": the answer is not JSON");
    return std::move(*json);
}

GitHubRelease GitHubReleasesManager::newestRelease(const GitHubRepository& repository, std::stop_token stop) {
    const std::string base = "/repos/" + repository.owner + "/" + repository.repo;
    const std::string name = repository.id();
    if (options_.allowPreRelease && options_.allowPreRelease()) {
        // Pre-releases are only in the list; the newest published of any channel is taken.
        try {
            Json list = getJson(base + "/releases?per_page=30", name, stop);
            std::optional<GitHubRelease> newest;
            for (const Json& item : list.is_array() ? list : Json::array()) {
                GitHubRelease release = parseGitHubRelease(item);
                if (release.draft) continue;
                if (!newest || release.publishedAt.value_or("") > newest->publishedAt.value_or("")) {
                    newest = std::move(release);
                }
            }
            if (newest) return *newest;
        } catch (const GitHubReleasesError& error) {
            logger().warning(localized("log.github.channel_failed", {name, error.what()}));
        }
    }
    try {
        return parseGitHubRelease(getJson(base + "/releases/latest", name, stop));
    } catch (const GitHubReleasesError& error) {
        // A repository that tags its versions without publishing releases answers 404 here.
        if (!contains(error.what(), "HTTP 404")) throw;
    }
    Json tags = getJson(base + "/tags?per_page=1", name, stop);
    if (!tags.is_array() || tags.empty() || !tags[0].is_object()) {
        throw GitHubReleasesError(name + ": no release and no tag");
    }
    GitHubRelease release;
    release.tagName = optionalText(tags[0], "name").value_or("");
    if (release.tagName.empty()) throw GitHubReleasesError(name + ": the newest tag has no name");
    return release;
}

GitHubRelease GitHubReleasesManager::release(const GitHubRepository& repository, const std::string& tag,
                                             std::stop_token stop) {
    if (rateLimitExhausted_) throw GitHubReleasesError(repository.id() + ": GitHub's rate limit is used up");
    if (tag == "latest") return newestRelease(repository, stop);
    const std::string path = "/repos/" + repository.owner + "/" + repository.repo + "/releases/tags/" + tag;
    return parseGitHubRelease(getJson(path, repository.id(), stop));
}

void GitHubReleasesManager::fetchLatest(GitHubApp& app, std::stop_token stop) {
    GitHubRelease release = newestRelease(app.repository, stop);
    std::optional<std::string> version = versionFromTag(release.tagName);
    if (!version || isPlaceholderVersion(*version)) {
        throw GitHubReleasesError(app.repository.id() + ": the release tag \"" + excerpt(sanitizeUtf8(release.tagName), 80) +
                                  "\" is not a version");
    }
    app.latestVersion = sanitizeUtf8(*version);
    app.releaseNotes = release.body;
    app.publishedDate = release.publishedAt ? parseTimestamp(*release.publishedAt) : std::nullopt;
    AppArchitectureKind wanted = bundleArchitecture(app.bundlePath);
    if (wanted == AppArchitectureKind::Unknown) wanted = options_.fallbackArchitecture;
    if (auto choice = chooseAsset(release.assets, wanted)) {
        app.downloadURL = release.assets[choice->index].browserDownloadUrl;
        app.downloadSHA256 = release.assets[choice->index].sha256;
        app.updateError.reset();
    } else {
        app.downloadURL.reset();
        app.downloadSHA256.reset();
        app.updateError = localized("github.no_macos_asset");
    }
    std::scoped_lock lock(mutex_);
    apps_[app.bundlePath] = app;
}

std::optional<Application> GitHubReleasesManager::check(const Application& application, std::stop_token stop) {
    std::optional<GitHubApp> app = detect(application);
    if (!app) return std::nullopt;
    if (rateLimitExhausted_) {
        if (!stopLogged_.exchange(true)) logger().warning(localized("log.github.batch_stopped"));
        return std::nullopt;
    }
    fetchLatest(*app, stop);
    Application result = application;
    result.latestVersion = app->latestVersion;
    result.releaseNotes = app->releaseNotes;
    result.publishDate = app->publishedDate;
    result.downloadURL = app->downloadURL;
    result.downloadSHA256 = app->downloadSHA256;
    result.resolutionSource = AppRulePrimarySource::GitHub;
    if (!result.resolutionReason) {
        std::string reason = "GitHub releases of ";
        reason += app->repository.id();
        result.resolutionReason = std::move(reason);
    }
    if (!result.detectionConfidence) result.detectionConfidence = DetectionConfidence::BestEffort;
    if (app->downloadURL) {
        result.updateMechanism = UpdateMechanism::DirectDownload;
        result.updateStrategy = UpdateStrategy::AutoDownload;
        result.updateCapability = UpdateCapability{true, false, std::nullopt};
    } else {
        result.updateStrategy = UpdateStrategy::ManualDownload;
        result.updateCapability = UpdateCapability{false, false, localized("github.no_macos_asset")};
    }
    return result;
}

std::vector<GitHubApp> GitHubReleasesManager::apps() const {
    std::scoped_lock lock(mutex_);
    std::vector<GitHubApp> list;
    for (const auto& [path, app] : apps_) list.push_back(app);
    return list;
}

}  // namespace vt
