#include "updates/DirectDownloadManager.hpp"

#include <sys/utsname.h>

#include <cctype>

#include "base/Json.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"
#include "updates/DownloadFileName.hpp"

namespace vt {

namespace {

std::string machineArchitecture() {
    struct utsname name {};
    if (::uname(&name) != 0) return "x86_64";
    std::string machine = name.machine;
    return machine == "arm64" || machine == "aarch64" ? "arm64" : "x86_64";
}

// Letters, digits and the few marks product codes, channels and cask tokens use: nothing
// that could change the path or the query they go into.
bool isSafeToken(std::string_view token) {
    if (token.empty() || token.size() > 100) return false;
    for (char c : token) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != '@') return false;
    }
    return token != "." && token != "..";
}

bool isHex64(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string fileNameOf(const std::string& url) {
    std::string_view path = url;
    if (std::size_t end = path.find_first_of("?#"); end != std::string_view::npos) path = path.substr(0, end);
    return sanitizedFileName(percentDecoded(lastPathComponent(path)));
}

DirectDownloadFileType fileTypeOf(const std::string& filename) {
    std::string lower = toLower(filename);
    if (endsWith(lower, ".dmg")) return DirectDownloadFileType::Dmg;
    if (endsWith(lower, ".zip")) return DirectDownloadFileType::Zip;
    throw DirectDownloadError::unsupportedFileType();
}

// Downloads and their checksums come over https only: over plain http anyone on the way could
// change both.
bool isHttpsAddress(std::string_view url) { return startsWith(toLower(url), "https://"); }

std::optional<std::string> stringAt(const Json& object, const char* key) {
    if (!object.is_object() || !object.contains(key) || !object[key].is_string()) return std::nullopt;
    std::string value = object[key].get<std::string>();
    if (value.empty()) return std::nullopt;
    return value;
}

}  // namespace


std::optional<DirectDownloadConfig> DirectDownloadResolver::configFor(const Application& application) {
    if (!application.directDownloadConfig) return std::nullopt;
    const DirectDownloadRuleConfig& rule = *application.directDownloadConfig;
    return DirectDownloadConfig{rule.provider, rule.productCode, rule.channel, rule.requiresAdminPrivileges,
                                rule.supportsAutomaticInstall.value_or(false)};
}

DirectDownloadManager::DirectDownloadManager(NetworkClient& network, std::string architecture)
    : network_(network), architecture_(architecture.empty() ? machineArchitecture() : std::move(architecture)) {}

DirectDownloadMetadata DirectDownloadManager::latest(const DirectDownloadConfig& config, std::stop_token stop) const {
    switch (config.provider) {
        case DirectDownloadProvider::JetBrains: return jetBrains(config, stop);
        case DirectDownloadProvider::GoogleStudio: return googleStudio(config, stop);
        case DirectDownloadProvider::HomebrewCask: return homebrewCask(config, stop);
    }
    throw DirectDownloadError::releaseNotFound();
}

std::string DirectDownloadManager::body(const std::string& url, std::stop_token stop) const {
    HttpRequest request;
    request.url = url;
    HttpResponse response = network_.send(request, stop);
    if (!response.isSuccess()) throw DirectDownloadError::httpError(response.statusCode);
    return std::move(response.body);
}

DirectDownloadMetadata DirectDownloadManager::jetBrains(const DirectDownloadConfig& config, std::stop_token stop) const {
    const std::string channel = config.channel.empty() ? std::string("release") : config.channel;
    if (!isSafeToken(config.productCode) || !isSafeToken(channel)) throw DirectDownloadError::releaseNotFound();
    std::string path = "/products/releases?code=";
    path += config.productCode;
    path += "&latest=true&type=";
    path += channel;
    Json document;
    try {
        document = NetworkClient::decodedJson(body(Endpoints::url(Service::JetBrains, path), stop));
    } catch (const NetworkError& error) {
        if (error.kind() != NetworkError::Kind::DecodingFailed) throw;
        throw DirectDownloadError::releaseNotFound();
    }
    if (!document.is_object() || !document.contains(config.productCode) || !document[config.productCode].is_array() ||
        document[config.productCode].empty()) {
        throw DirectDownloadError::releaseNotFound();
    }
    const Json& release = document[config.productCode][0];
    std::optional<std::string> version = stringAt(release, "version");
    if (!version) throw DirectDownloadError::releaseNotFound();
    if (!release.contains("downloads") || !release["downloads"].is_object()) throw DirectDownloadError::downloadNotFound();
    const Json& downloads = release["downloads"];
    const char* wanted = architecture_ == "arm64" ? "macM1" : "mac";
    if (!downloads.contains(wanted)) {
        if (downloads.contains("mac") || downloads.contains("macM1")) {
            throw DirectDownloadError::noCompatibleFile(architecture_, config.productCode);
        }
        throw DirectDownloadError::downloadNotFound();
    }
    const Json& file = downloads[wanted];
    std::optional<std::string> link = stringAt(file, "link");
    if (!link) throw DirectDownloadError::downloadNotFound();
    if (!isHttpsAddress(*link)) throw DirectDownloadError::invalidURL();

    std::optional<std::string> checksum = stringAt(file, "checksum");
    if (!checksum) checksum = stringAt(file, "sha256");
    if (!checksum) {
        std::optional<std::string> checksumLink = stringAt(file, "checksumLink");
        if (!checksumLink) checksumLink = stringAt(file, "sha256Link");
        // The linked file is "HEX *name", as sha256sum writes it.
        if (checksumLink && isHttpsAddress(*checksumLink)) {
            std::string text = body(*checksumLink, stop);
            std::string_view first = trimView(text);
            first = first.substr(0, first.find_first_of(" \t\r\n"));
            checksum = std::string(first);
        }
    }
    if (checksum && !isHex64(*checksum)) checksum.reset();

    DirectDownloadMetadata metadata;
    metadata.version = *version;
    metadata.buildNumber = stringAt(release, "build");
    metadata.downloadURL = *link;
    metadata.filename = fileNameOf(*link);
    if (checksum) metadata.checksum = toLower(*checksum);
    metadata.releaseNotes = stringAt(release, "notesLink");
    metadata.fileType = fileTypeOf(metadata.filename);
    return metadata;
}

DirectDownloadMetadata DirectDownloadManager::googleStudio(const DirectDownloadConfig& config, std::stop_token stop) const {
    const std::string page = body(Endpoints::url(Service::AndroidStudio, "/studio"), stop);
    static const Regex link(R"re(https://[^"'\s<>]+/android-studio-([0-9][0-9.]*)-mac(_arm)?\.(dmg|zip))re");
    const bool arm = architecture_ == "arm64";
    std::optional<Regex::Match> chosen;
    bool otherKind = false;
    for (const Regex::Match& match : link.findAll(page)) {
        const bool isArm = match.groups[1].has_value();
        if (isArm == arm) {
            chosen = match;
            break;
        }
        otherKind = true;
    }
    const std::string product = config.productCode.empty() ? std::string("Android Studio") : config.productCode;
    if (!chosen) {
        if (otherKind) throw DirectDownloadError::noCompatibleFile(architecture_, product);
        throw DirectDownloadError::releaseNotFound();
    }
    DirectDownloadMetadata metadata;
    metadata.downloadURL = std::string(chosen->text);
    metadata.version = std::string(*chosen->groups[0]);
    metadata.filename = fileNameOf(metadata.downloadURL);
    metadata.fileType = fileTypeOf(metadata.filename);
    // The page's table gives each file's checksum after its name.
    static const Regex hex(R"re(\b([0-9a-f]{64})\b)re");
    std::size_t named = page.find(metadata.filename, chosen->offset + chosen->length);
    if (named != std::string::npos) {
        std::string_view after = std::string_view(page).substr(named, 2000);
        if (auto digest = hex.search(after)) metadata.checksum = std::string(*digest->groups[0]);
    }
    return metadata;
}

DirectDownloadMetadata DirectDownloadManager::homebrewCask(const DirectDownloadConfig& config, std::stop_token stop) const {
    if (!isSafeToken(config.productCode)) throw DirectDownloadError::releaseNotFound();
    std::string path = "/cask/";
    path += config.productCode;
    path += ".json";
    Json cask;
    try {
        cask = NetworkClient::decodedJson(body(Endpoints::url(Service::HomebrewApi, path), stop));
    } catch (const NetworkError& error) {
        if (error.kind() != NetworkError::Kind::DecodingFailed) throw;
        throw DirectDownloadError::releaseNotFound();
    }
    std::optional<std::string> version = stringAt(cask, "version");
    if (!version || *version == "latest") throw DirectDownloadError::releaseNotFound();
    std::optional<std::string> url = stringAt(cask, "url");
    if (!url) throw DirectDownloadError::downloadNotFound();
    if (!isHttpsAddress(*url)) throw DirectDownloadError::invalidURL();

    DirectDownloadMetadata metadata;
    // "1.2.3,4567": the version, then the build the download address is made with.
    if (std::size_t comma = version->find(','); comma != std::string::npos) {
        metadata.version = version->substr(0, comma);
        metadata.buildNumber = version->substr(comma + 1);
    } else {
        metadata.version = *version;
    }
    metadata.downloadURL = *url;
    metadata.filename = fileNameOf(*url);
    std::optional<std::string> sha = stringAt(cask, "sha256");
    if (sha && isHex64(*sha)) metadata.checksum = toLower(*sha);
    metadata.fileType = fileTypeOf(metadata.filename);
    return metadata;
}

}  // namespace vt
