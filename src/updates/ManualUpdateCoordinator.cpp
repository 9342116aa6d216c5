#include "updates/ManualUpdateCoordinator.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Random.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "settings/DefaultsStore.hpp"
#include "system/CommandRunning.hpp"
#include "system/NetworkClient.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/DirectDownloadInstaller.hpp"
#include "updates/DownloadFileName.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("ManualUpdateCoordinator");
    return log;
}

constexpr double kHeadTimeoutSeconds = 30;
constexpr double kFolderLookupTimeoutSeconds = 5;

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
}

// The first name of the folder that is free: "name.dmg", "name (2).dmg", "name (3).dmg"...
// A hard link claims it atomically, so a file that appeared meanwhile is never replaced.
std::string claimName(const std::string& temporary, const std::string& folder, const std::string& name) {
    std::string stem = name, extension;
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        std::size_t tar = name.rfind(".tar.");
        std::size_t cut = tar != std::string::npos && tar > 0 ? tar : dot;
        stem = name.substr(0, cut);
        extension = name.substr(cut);
    }
    for (int attempt = 1; attempt < 1000; ++attempt) {
        std::string candidate = folder + "/" + stem;
        if (attempt > 1) {
            candidate += " (";
            candidate += std::to_string(attempt);
            candidate += ')';
        }
        candidate += extension;
        if (::link(temporary.c_str(), candidate.c_str()) == 0) return candidate;
        // A file system without hard links (a FAT drive): check, then rename.
        if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP) {
            std::error_code error;
            if (std::filesystem::exists(candidate, error)) continue;
            if (::rename(temporary.c_str(), candidate.c_str()) == 0) return candidate;
        }
        if (errno != EEXIST) throw FileWriteError(std::string("Cannot create ") + candidate + ": " + std::strerror(errno));
    }
    throw FileWriteError(std::string("No free name for ") + name + " in " + folder);
}

std::optional<CompletedManualDownload> completedFromJson(const Json& json) {
    if (!json.is_object() || !json.contains("fileURL") || !json["fileURL"].is_string()) return std::nullopt;
    CompletedManualDownload download;
    download.fileURL = json["fileURL"].get<std::string>();
    if (json.contains("version") && json["version"].is_string()) download.version = json["version"].get<std::string>();
    if (json.contains("updateViewGeneration") && json["updateViewGeneration"].is_number_integer()) {
        download.updateViewGeneration = json["updateViewGeneration"].get<int>();
    }
    return download;
}

}  // namespace

std::string CompletedManualDownload::fileURLFor(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 0x0F];
        }
    }
    return url;
}

std::string CompletedManualDownload::path() const {
    return percentDecoded(startsWith(fileURL, "file://") ? std::string_view(fileURL).substr(7) : fileURL);
}

Json toJson(const CompletedManualDownload& download) {
    Json json = Json::object();
    json["fileURL"] = download.fileURL;
    if (download.version) json["version"] = *download.version;
    if (download.updateViewGeneration) json["updateViewGeneration"] = *download.updateViewGeneration;
    return json;
}

ManualUpdateError::ManualUpdateError(Kind kind, int statusCode, const std::string& description)
    : std::runtime_error(description), kind_(kind), statusCode_(statusCode) {}

ManualUpdateError ManualUpdateError::httpError(int statusCode) {
    return ManualUpdateError(Kind::HttpError, statusCode,
                             localized("manual_update.error.http", {std::to_string(statusCode)}));
}

ManualUpdateError ManualUpdateError::noFolder(const std::string& folder) {
    return ManualUpdateError(Kind::NoFolder, 0, localized("manual_update.error.no_folder", {folder}));
}

ManualUpdateCoordinator::ManualUpdateCoordinator(Options options) : options_(std::move(options)) {
    if (options_.defaults == nullptr) return;
    std::optional<Json> stored = options_.defaults->object(kCompletedDownloadsKey);
    if (!stored || !stored->is_object()) return;
    for (const auto& [key, value] : stored->items()) {
        if (auto download = completedFromJson(value)) completedDownloads_[key] = std::move(*download);
    }
}

std::string ManualUpdateCoordinator::itemKey(const ManualUpdateItem& item) {
    std::string key;
    if (item.installLocationOverride && !item.installLocationOverride->empty()) {
        key = "path:";
        key += *item.installLocationOverride;
    } else if (item.downloadURL && !item.downloadURL->empty()) {
        key = "url:";
        key += *item.downloadURL;
    } else {
        key = "name:";
        key += toLower(item.name);
    }
    key += "|version:";
    key += item.latestVersion.value_or("");
    return key;
}

std::string ManualUpdateCoordinator::userDownloadFolder(CommandRunning* runner) {
    const std::string home = paths::home();
    std::string fallback = home + "/Downloads";
    if (kBuiltForMac || runner == nullptr) return fallback;
    std::optional<std::string> searchPath = runner->defaultSearchPath();
    if (!searchPath) searchPath = paths::environmentValue("PATH");
    const std::string folders = searchPath.value_or("/usr/bin:/bin");
    std::string tool;
    for (std::string_view folder : split(folders, ':')) {
        std::error_code error;
        std::string candidate = std::string(folder) + "/xdg-user-dir";
        if (!folder.empty() && folder.front() == '/' && std::filesystem::is_regular_file(candidate, error)) {
            tool = candidate;
            break;
        }
    }
    if (tool.empty()) return fallback;
    try {
        ShellCommandResult result = runner->execute(CommandRequest{
            .command = tool, .arguments = {"DOWNLOAD"}, .timeout = kFolderLookupTimeoutSeconds});
        std::string folder = trim(result.standardOutput);
        // Without a configured folder the tool answers the home folder itself.
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (startsWith(folder, "/") && folder != home && folder.find('\n') == std::string::npos) return folder;
    } catch (const std::exception& error) {
        logger().debug(localized("log.command_error", {"xdg-user-dir", error.what()}));
    }
    return fallback;
}

std::optional<CompletedManualDownload> ManualUpdateCoordinator::reusableDownload(const std::string& key,
                                                                                const ManualUpdateItem& item) {
    std::optional<CompletedManualDownload> earlier;
    {
        std::scoped_lock lock(mutex_);
        if (auto found = completedDownloads_.find(key); found != completedDownloads_.end()) earlier = found->second;
    }
    if (!earlier) return std::nullopt;
    std::error_code error;
    bool usable = std::filesystem::is_regular_file(earlier->path(), error);
    if (usable && item.expectedSHA256) {
        try {
            DirectDownloadInstaller::verifyChecksum(earlier->path(), *item.expectedSHA256);
        } catch (const DirectDownloadError&) {
            usable = false;  // changed since: downloaded again
        }
    }
    if (usable) return earlier;
    std::map<std::string, CompletedManualDownload> remaining;
    {
        std::scoped_lock lock(mutex_);
        completedDownloads_.erase(key);
        remaining = completedDownloads_;
    }
    persistCompletedDownloads(std::move(remaining));
    return std::nullopt;
}

void ManualUpdateCoordinator::persistCompletedDownloads(std::map<std::string, CompletedManualDownload> downloads) const {
    if (options_.defaults == nullptr) return;
    Json all = Json::object();
    for (const auto& [itemKey, download] : downloads) all[itemKey] = toJson(download);
    try {
        options_.defaults->set(kCompletedDownloadsKey, std::move(all));
    } catch (const FileWriteError& error) {
        // The file is downloaded all the same; only the memory of it is lost.
        logger().warning(localized("log.manual.downloads_not_saved", {error.what()}));
    }
}

CompletedManualDownload ManualUpdateCoordinator::download(const ManualUpdateItem& item,
                                                          const ProgressHandler& onProgress, std::stop_token stop) {
    const std::string key = itemKey(item);
    if (std::optional<CompletedManualDownload> earlier = reusableDownload(key, item)) {
        logger().info(localized("log.manual.already_downloaded", {item.name, earlier->path()}));
        return *earlier;
    }
    {
        std::scoped_lock lock(mutex_);
        if (!inFlight_.insert(key).second) throw std::logic_error(item.name + " is already being downloaded");
    }
    std::string temporary;
    auto finish = [&] {
        std::error_code ignored;
        if (!temporary.empty()) std::filesystem::remove(temporary, ignored);
        std::scoped_lock lock(mutex_);
        inFlight_.erase(key);
    };
    auto report = [&onProgress](ManualUpdateProgress progress) {
        if (onProgress) onProgress(progress);
    };

    try {
        if (!item.downloadURL || item.downloadURL->empty()) throw NetworkError::invalidURL("");
        const std::string url = *item.downloadURL;
        report({"manual_update.phase.preparing", std::nullopt, std::nullopt});
        const std::string folder = options_.downloadFolder.value_or(userDownloadFolder(options_.runner));
        if (!paths::ensureFolder(folder)) throw ManualUpdateError::noFolder(folder);

        // The size is shown before the transfer starts; a server that refuses HEAD only
        // leaves it unknown until the answer comes.
        std::optional<std::uint64_t> size;
        try {
            HttpResponse head = options_.network->send(
                HttpRequest{.url = url, .method = HttpMethod::Head, .timeoutSeconds = kHeadTimeoutSeconds}, stop);
            if (head.isSuccess()) size = head.contentLength();
        } catch (const NetworkError& error) {
            logger().debug(localized("log.command_error", {"HEAD " + url, error.description()}));
        }
        report({"manual_update.phase.downloading", size ? std::optional<double>(0.0) : std::nullopt, size});

        temporary = folder + "/.vantreel-" + std::to_string(randomGenerator()() % 1000000000000ull) + ".download";
        HttpRequest request{.url = url, .stallTimeoutSeconds = options_.stallTimeoutSeconds};
        HttpResponse response;
        try {
            response = options_.network->download(
                request, temporary,
                [&](const DownloadProgress& received) {
                    std::optional<std::uint64_t> total = received.totalBytes ? received.totalBytes : size;
                    std::optional<double> percent;
                    if (total && *total > 0) {
                        percent = std::min(1.0, static_cast<double>(received.bytesReceived) / static_cast<double>(*total));
                    }
                    report({"manual_update.phase.downloading", percent, total});
                },
                stop);
        } catch (const NetworkError& error) {
            if (error.kind() == NetworkError::Kind::InvalidResponse && error.statusCode() >= 400) {
                throw ManualUpdateError::httpError(error.statusCode());
            }
            throw;
        }
        std::error_code sizeError;
        const std::uint64_t bytes = std::filesystem::file_size(temporary, sizeError);
        logger().info(localized("log.manual.downloaded",
                                {item.name, response.url, response.contentType().value_or(""), std::to_string(bytes)}));
        // Checked before the file gets its name: a file that is not the published one is never kept.
        if (item.expectedSHA256) DirectDownloadInstaller::verifyChecksum(temporary, *item.expectedSHA256);

        const std::string name = downloadFileName(response.contentDisposition(), response.url, item.name,
                                                  item.latestVersion, response.contentType());
        const std::string destination = claimName(temporary, folder, name);
        report({"manual_update.phase.cleaning", 1.0, bytes});

        CompletedManualDownload completed{CompletedManualDownload::fileURLFor(destination), item.latestVersion,
                                          options_.updateViewGeneration ? options_.updateViewGeneration()
                                                                        : std::nullopt};
        std::map<std::string, CompletedManualDownload> all;
        {
            std::scoped_lock lock(mutex_);
            completedDownloads_[key] = completed;
            all = completedDownloads_;
        }
        finish();
        persistCompletedDownloads(std::move(all));
        return completed;
    } catch (const CancellationError&) {
        finish();
        throw;
    } catch (const std::exception& error) {
        finish();
        if (stop.stop_requested()) throw CancellationError();
        std::string message = error.what();
        if (const auto* network = dynamic_cast<const NetworkError*>(&error)) message = network->description();
        logger().warning(localized("log.manual.download_failed", {item.name, message}));
        throw;
    }
}

}  // namespace vt
