#include "updates/appimage/AppImageManager.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/ContentDigest.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace fs = std::filesystem;

namespace {

const Logger& logger() {
    static const Logger instance("AppImageManager");
    return instance;
}

AppImageManager::Options defaultOptions() {
    AppImageManager::Options options;
    options.scanner.home = paths::home();
    options.scanner.additionalFolders = [] {
        DefaultsStore store(DefaultsStore::defaultPath());
        return SettingsManager(store).additionalApplicationFolders();
    };
    return options;
}

// Removes a download left behind by any way out of an update.
struct TemporaryFile {
    std::string path;
    ~TemporaryFile() {
        std::error_code ignored;
        if (!path.empty()) fs::remove(path, ignored);
    }
};

std::string fileNameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

const SourceRow& AppImageManager::source() {
    static const SourceRow row{.id = "appimage", .name = "AppImage", .executables = {},
                               .types = {PackageType::AppImage}, .toggle = ManagerToggleKey::ShowAppImages,
                               .completionLine = "AppImage", .logTag = "appimage",
                               .make = makeAdapter<AppImageManager>};
    return row;
}

AppImageManager::AppImageManager(CommandRunning& runner, const FileSystemManager& files)
    : AppImageManager(runner, files, defaultOptions()) {}

AppImageManager::AppImageManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {}

std::optional<std::string> AppImageManager::locateExecutable(std::stop_token stop) {
    // The source is here when one AppImage is: the first found stands for the tool.
    AppImageInventory inventory = AppImageScanner(options_.scanner).scan(stop);
    if (!inventory.images.empty()) return inventory.images.front().path;
    if (!inventory.errors.empty()) return options_.scanner.home;
    return std::nullopt;
}

AppImageUpdateChecker& AppImageManager::checker() {
    std::scoped_lock lock(checkerMutex_);
    if (!checker_) {
        AppImageUpdateChecker::Options options = options_.checker;
        if (options.network == nullptr) options.network = &network();
        if (!options.gitHub) {
            GitHubReleasesManager::Options gitHub;
            gitHub.network = options.network;
            gitHub.token = [] {
                return gitHubToken([] {
                    return DefaultsStore(DefaultsStore::defaultPath()).stringValue(GitHubReleasesManager::kLegacyTokenKey);
                });
            };
            options.gitHub = std::make_shared<GitHubReleasesManager>(std::move(gitHub));
        }
        if (!options.rules) options.rules = AppRuleCatalogService::shared();
        if (!options.hashes) options.hashes = std::make_shared<AppImageHashCache>(paths::cacheFolder() + "/appimage-sha1.json");
        gitHub_ = options.gitHub;
        checker_ = std::make_unique<AppImageUpdateChecker>(std::move(options));
    }
    return *checker_;
}

std::string AppImageManager::updateInformationLabel(const AppImageFile& image) {
    std::optional<AppImageUpdateInformation> info = checker().updateInformation(image);
    if (!info) return localized("appimage.no_update_information");
    if (info->kind == AppImageUpdateInformation::Kind::Zsync) return "zsync " + info->url;
    return "GitHub " + info->owner + "/" + info->repo;
}

Package AppImageManager::packageOf(const AppImageFile& image) {
    Package package;
    package.name = image.name;
    package.version = checker().installedVersion(image);
    package.type = PackageType::AppImage;
    package.sourceIdentifier = image.path;
    package.description = updateInformationLabel(image);
    return package;
}

std::vector<Package> AppImageManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    AppImageInventory inventory = AppImageScanner(options_.scanner).scan(stop);
    std::vector<Package> packages;
    for (const AppImageFile& image : inventory.images) packages.push_back(packageOf(image));
    for (const std::string& error : inventory.errors) logger().warning(localized("log.appimage.left_out", {error}));
    logger().info(localized("log.manager.scan_complete", {"AppImage", std::to_string(packages.size())}));
    setErrorMessage(inventory.errors.empty() ? std::nullopt : std::optional<std::string>(join(inventory.errors, "; ")));
    publishPackages(packages);
    return packages;
}

std::vector<Package> AppImageManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    checker();
    if (gitHub_) gitHub_->beginBatch();  // what the rate limit stopped last time may go again
    std::vector<Package> outdated;
    std::vector<std::string> failures;
    for (const Package& listed : packages()) {
        if (stop.stop_requested()) throw CancellationError();
        try {
            AppImageFile image = readAppImage(listed.sourceIdentifier.value_or(""));
            if (!checker().updateInformation(image)) continue;  // shown as "no update information"
            AppImageOffer offer = checker().check(image, stop);
            if (!offer.isNewer) continue;
            Package package = listed;
            package.version = offer.installedVersion;
            package.latestVersion = offer.version;
            outdated.push_back(std::move(package));
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            failures.push_back(listed.name + ": " + error.what());
        }
    }
    for (const std::string& failure : failures) logger().warning(localized("log.appimage.check_failed", {failure}));
    setErrorMessage(failures.empty() ? std::nullopt : std::optional<std::string>(join(failures, "; ")));
    return outdated;
}

std::vector<std::string> AppImageManager::runningUses(const std::string& path) const {
    std::vector<std::string> uses;
    std::error_code error;
    for (fs::directory_iterator it(options_.procFolder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        std::string target = fs::read_symlink(it->path() / "exe", linkError).string();
        if (linkError) continue;
        if (endsWith(target, " (deleted)")) continue;  // an older copy, already replaced
        if (target == path) uses.push_back(localized("appimage.running.process", {name}));
    }
    std::ifstream mounts(options_.procFolder + "/self/mounts");
    for (std::string line; std::getline(mounts, line);) {
        std::vector<std::string_view> fields = split(line, ' ');
        if (fields.size() < 3 || !startsWith(fields[1], "/tmp/.mount_")) continue;
        if (fields[0] == path || fields[2].find(fileNameOf(path)) != std::string_view::npos) {
            uses.push_back(localized("appimage.running.mount", {std::string(fields[1])}));
        }
    }
    return uses;
}

void AppImageManager::update(const Package& package, std::stop_token stop) {
    const std::string path = package.sourceIdentifier.value_or("");
    AppImageFile image;
    try {
        image = readAppImage(path);
    } catch (const AppImageError& error) {
        throw AppImageUpdateError(error.what());
    }
    AppImageOffer offer;
    try {
        offer = checker().check(image, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        throw AppImageUpdateError(package.name + ": " + error.what());
    }
    if (!offer.isNewer) {
        throw AppImageUpdateError(localized("appimage.update.not_newer", {package.name, offer.installedVersion}));
    }
    if (offer.version != package.latestVersion.value_or("") || offer.installedVersion != package.version) {
        throw AppImageUpdateError(localized("appimage.update.changed",
                                            {package.name, offer.installedVersion, offer.version, package.version,
                                             package.latestVersion.value_or("-")}));
    }
    std::vector<std::string> uses = runningUses(path);
    if (!uses.empty() && !(options_.confirmRunning && options_.confirmRunning(path))) {
        throw AppImageUpdateError(localized("appimage.update.running", {package.name, join(uses, ", ")}));
    }
    replace(image, offer, stop);
}

void AppImageManager::replace(const AppImageFile& installed, const AppImageOffer& offer, std::stop_token stop) {
    const std::string& path = installed.path;
    const std::string name = installed.name;
    const std::string folder = path.substr(0, path.find_last_of('/'));
    auto refuse = [&name](std::string_view key, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), name);
        return AppImageUpdateError(localized(key, arguments));
    };
    if (!offer.sha1 && !offer.sha256) throw refuse("appimage.update.no_checksum", {});
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) throw refuse("appimage.update.replace_failed", {std::strerror(errno)});

    // In the same folder, so that the last step is a rename within one file system.
    TemporaryFile download{folder + "/." + fileNameOf(path) + ".vantreel-download"};
    HttpRequest request;
    request.url = offer.downloadURL;
    request.stallTimeoutSeconds = kStallTimeLimit;
    if (offer.length) request.maxBodyBytes = *offer.length;
    try {
        network().download(request, download.path, {}, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        throw refuse("appimage.update.download_failed", {error.what()});
    }
    std::error_code sizeError;
    const std::uint64_t size = fs::file_size(download.path, sizeError);
    if (offer.length && (sizeError || size != *offer.length)) {
        throw refuse("appimage.update.length_mismatch", {std::to_string(size), std::to_string(*offer.length)});
    }
    if (offer.sha256) {
        const std::string actual = sha256HexOfFile(download.path).value_or("");
        if (actual != toLower(*offer.sha256)) throw refuse("appimage.update.checksum_mismatch", {"SHA-256", actual, *offer.sha256});
    }
    if (offer.sha1) {
        const std::string actual = sha1HexOfFile(download.path).value_or("");
        if (actual != *offer.sha1) throw refuse("appimage.update.checksum_mismatch", {"SHA-1", actual, *offer.sha1});
    }
    AppImageFile fresh;
    try {
        fresh = readAppImage(download.path);
    } catch (const AppImageError& error) {
        throw refuse("appimage.update.not_appimage", {error.what()});
    }
    const bool sameDesktop = installed.desktopName && fresh.desktopName && *installed.desktopName == *fresh.desktopName;
    if (!sameDesktop && toLower(fresh.name) != toLower(installed.name)) {
        throw refuse("appimage.update.other_application", {fresh.name});
    }
    if (fresh.version && installed.version) {
        if (compareVersions(*fresh.version, *installed.version) == VersionOrder::Ascending) {
            throw refuse("appimage.update.older", {*fresh.version, *installed.version});
        }
        if (offer.version != kUpdateAvailableSentinel && compareVersions(*fresh.version, offer.version) != VersionOrder::Same) {
            throw refuse("appimage.update.not_offered_version", {*fresh.version, offer.version});
        }
    }
    if (::chmod(download.path.c_str(), old.st_mode & 07777) != 0) {
        throw refuse("appimage.update.replace_failed", {std::strerror(errno)});
    }
    // The old file stays reachable under NAME.previous until the new one has its name.
    const std::string previous = path + ".previous";
    std::error_code error;
    fs::remove(previous, error);
    if (::link(path.c_str(), previous.c_str()) != 0 &&
        !fs::copy_file(path, previous, fs::copy_options::overwrite_existing, error)) {
        throw refuse("appimage.update.replace_failed", {error ? error.message() : std::strerror(errno)});
    }
    if (::rename(download.path.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        fs::remove(previous, error);
        throw refuse("appimage.update.replace_failed", {reason});
    }
    download.path.clear();
    fs::remove(previous, error);
    logger().info(localized("log.appimage.updated", {path, offer.version}));
}

}  // namespace vt
