#include "managers/toolchains/SdkmanManager.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/LatestVersionCache.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

constexpr std::string_view kJdk[] = {"java"};
constexpr std::string_view kLanguages[] = {"kotlin", "scala", "groovy", "ceylon", "jbang", "java-fx"};
constexpr std::string_view kBuildTools[] = {"gradle", "maven", "mvnd", "ant", "sbt", "bazel", "bld", "mill",
                                            "leiningen", "gradleprofiler"};
constexpr std::string_view kFrameworks[] = {"springboot", "micronaut", "quarkus", "grails", "vertx", "helidon",
                                            "kobweb", "jbake"};

template <std::size_t N>
bool isIn(const std::string_view (&names)[N], std::string_view name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// The version a "current" entry stands for: the link's target, or (on file systems without
// links, where SDKMAN copies) nothing.
std::optional<std::string> currentVersion(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path link(folder + "/current");
    if (!std::filesystem::is_symlink(link, error)) return std::nullopt;
    std::filesystem::path target = std::filesystem::read_symlink(link, error);
    if (error) return std::nullopt;
    std::string name = target.filename().string();
    if (name.empty()) name = target.parent_path().filename().string();
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

}  // namespace

const SourceRow& SdkmanManager::source() {
    static const SourceRow row{.id = "sdkman", .name = "SDKMAN", .executables = {"sdk"},
                               .types = {PackageType::SdkmanCandidate}, .toggle = ManagerToggleKey::ShowSdkman,
                               .completionLine = "SDKMAN", .logTag = "sdkman",
                               .make = makeAdapter<SdkmanManager>};
    return row;
}

SdkmanManager::SdkmanManager(CommandRunning& runner, const FileSystemManager& files)
    : SdkmanManager(runner, files, Options{}) {}

SdkmanManager::SdkmanManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {"SDKMAN_DIR"}, "SdkmanManager") {
    latest_ = std::make_unique<LatestVersionCache>(LatestVersionCache::Options{
        .file = options_.cacheFolder.value_or(paths::cacheFolder()) + "/" + kCacheFileName,
        .ttl = std::chrono::hours(6),
        .concurrency = 4,
        .clock = options_.clock,
        .logName = "SdkmanManager"});
}

SdkmanManager::~SdkmanManager() = default;

std::string SdkmanManager::sdkmanFolder() const {
    const std::map<std::string, std::string> variables = environment();
    if (auto found = variables.find("SDKMAN_DIR"); found != variables.end()) return found->second;
    return home() + "/.sdkman";
}

std::string SdkmanManager::initScript() const { return sdkmanFolder() + "/bin/sdkman-init.sh"; }

std::optional<std::string> SdkmanManager::locateExecutable(std::stop_token) {
    // A folder with candidates but no init script still lists them; updates then refuse.
    if (files_.fileExists(initScript()) || files_.directoryExists(sdkmanFolder() + "/candidates")) {
        return initScript();
    }
    return std::nullopt;
}

std::string SdkmanManager::categoryKey(std::string_view candidate) {
    std::string key = "enum.sdkman_category.";
    if (isIn(kJdk, candidate)) return key + "jdk";
    if (isIn(kLanguages, candidate)) return key + "languages";
    if (isIn(kBuildTools, candidate)) return key + "build_tools";
    if (isIn(kFrameworks, candidate)) return key + "frameworks";
    return key + "other";
}

std::string SdkmanManager::script(std::string_view subcommand) {
    std::string text = R"(export SDKMAN_DIR="$1"; source "$2"; sdk )";
    text += subcommand;
    text += R"( "$3" "$4")";
    return text;
}

std::vector<SdkmanManager::Candidate> SdkmanManager::readCandidates() const {
    const std::string root = sdkmanFolder() + "/candidates";
    std::vector<Candidate> candidates;
    if (!files_.directoryExists(root)) return candidates;
    std::vector<std::string> names = files_.contentsOfDirectory(root);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string folder = root + "/" + name;
        if (!isSafeArgument(name) || !files_.directoryExists(folder)) continue;
        Candidate candidate{.name = name};
        for (const std::string& version : files_.contentsOfDirectory(folder)) {
            if (version == "current" || !isSafeArgument(version) || !files_.directoryExists(folder + "/" + version)) {
                continue;
            }
            candidate.versions.push_back(version);
        }
        if (candidate.versions.empty()) continue;
        std::sort(candidate.versions.begin(), candidate.versions.end());
        candidate.current = currentVersion(folder);
        if (!candidate.current) {
            // No link: the newest version installed stands for the candidate.
            std::string newest = candidate.versions.front();
            for (const std::string& version : candidate.versions) {
                if (isUpdateAvailable(newest, version, true)) newest = version;
            }
            candidate.current = newest;
        }
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

std::vector<Package> SdkmanManager::readInstalled(std::stop_token, std::optional<std::string>& message) {
    if (!files_.fileExists(initScript())) message = localized("sdkman.init_missing", {initScript()});
    std::vector<Package> packages;
    for (const Candidate& candidate : readCandidates()) {
        Package& package = packages.emplace_back();
        package.name = candidate.name;
        package.version = candidate.current.value_or(candidate.versions.back());
        package.type = PackageType::SdkmanCandidate;
        package.description = localized(categoryKey(candidate.name));
        package.installLocationOverride = sdkmanFolder() + "/candidates/" + candidate.name + "/" + package.version;
    }
    return packages;
}

std::vector<Package> SdkmanManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> installed = packages();
    std::vector<std::string> names;
    for (const Package& package : installed) names.push_back(package.name);
    std::atomic<bool> unreachable{false};
    const auto lookup = [&](const std::string& name, std::stop_token token) -> std::optional<std::string> {
        HttpRequest request;
        request.url = Endpoints::url(Service::Sdkman, "/2/candidates/default/" + name);
        request.timeoutSeconds = 30;
        request.maxBodyBytes = 4096;
        try {
            HttpResponse response = network().send(request, token);
            if (!response.isSuccess()) return std::nullopt;
            std::string version = trim(response.body);
            if (!isSafeArgument(version) || version.size() > 64) return std::nullopt;
            return version;
        } catch (const NetworkError& error) {
            if (error.kind() != NetworkError::Kind::InvalidResponse) unreachable = true;
            return std::nullopt;
        }
    };
    std::map<std::string, std::string> latest = latest_->latest(names, lookup, stop, Endpoints::base(Service::Sdkman));
    if (unreachable) message = localized("error.registry.unreachable", {Endpoints::host(Service::Sdkman)});
    markLatestVersionsUnknown(unreachable);
    std::vector<Package> outdated;
    for (Package package : installed) {
        auto found = latest.find(package.name);
        if (found == latest.end() || !isUpdateAvailable(package.version, found->second, false)) continue;
        package.latestVersion = found->second;
        outdated.push_back(std::move(package));
    }
    return outdated;
}

void SdkmanManager::runSdk(std::string_view subcommand, const std::string& candidate, const std::string& version,
                           double timeout, std::stop_token stop) {
    requireTool(stop);
    if (!files_.fileExists(initScript())) throw ToolchainError::commandFailed(localized("sdkman.init_missing", {initScript()}));
    // The values travel as bash's positional parameters: "$3" is expanded, never parsed.
    std::map<std::string, std::string> variables = environment();
    variables["sdkman_auto_answer"] = "true";
    variables["sdkman_colour_enable"] = "false";
    CommandRequest request;
    request.command = kBash;
    request.arguments = {"-c", script(subcommand), "sdkman", sdkmanFolder(), initScript(), candidate, version};
    request.environment = std::move(variables);
    request.timeout = timeout;
    request.allowNonZeroExit = true;
    std::string line = "📦 sdk ";
    line += subcommand;
    line += " " + candidate + " " + version;
    log().info(line);
    ShellCommandResult result;
    try {
        result = run(request, stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        throw ToolchainError::commandFailed(localized("sdkman.command_failed", {error.description()}));
    }
    if (result.exitCode != 0) {
        const std::string output = trim(result.standardError.empty() ? result.standardOutput : result.standardError);
        throw ToolchainError::commandFailed(localized("sdkman.command_failed", {excerpt(output, 600)}));
    }
}

void SdkmanManager::setDefault(const std::string& candidate, const std::string& version, std::stop_token stop) {
    // Quotes and "$(...)" cannot hurt bash here, but a leading "-" would reach sdk as an option.
    if (candidate.empty() || version.empty() || candidate.front() == '-' || version.front() == '-') {
        throw ToolchainError::invalidArgument("SDKMAN", candidate + " " + version);
    }
    runSdk("default", candidate, version, kDefaultTimeout, stop);
}

void SdkmanManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    const std::string version = pinnedVersion(package).value_or("");
    requireSafe(version);
    runSdk("install", package.name, version, kInstallTimeout, stop);
    setDefault(package.name, version, stop);
}

}  // namespace vt
