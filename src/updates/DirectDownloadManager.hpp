#pragma once

#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "model/Application.hpp"
#include "updates/DirectDownloadError.hpp"

namespace vt {

class NetworkClient;

enum class DirectDownloadFileType { Dmg, Zip };

struct DirectDownloadMetadata {
    std::string version;
    std::optional<std::string> buildNumber;
    std::string downloadURL;
    std::string filename;
    std::optional<std::string> checksum;  // SHA-256, lower-case hex
    std::optional<std::string> releaseNotes;
    DirectDownloadFileType fileType = DirectDownloadFileType::Dmg;

    friend bool operator==(const DirectDownloadMetadata&, const DirectDownloadMetadata&) = default;
};

struct DirectDownloadConfig {
    DirectDownloadProvider provider = DirectDownloadProvider::HomebrewCask;
    std::string productCode;
    std::string channel;
    bool requiresAdminPrivileges = false;
    bool supportsAutomaticInstall = false;
};

// Which provider serves an application: the direct-download entry its rule gave it.
class DirectDownloadResolver {
public:
    static std::optional<DirectDownloadConfig> configFor(const Application& application);
};

// Where the newest build of a product is published, asked of its publisher:
// - jetBrains: GET {JetBrains}/products/releases?code=CODE&latest=true&type=CHANNEL; reads
//   CODE[0] → "version", "build", "notesLink", and "downloads" → "macM1" (arm64) or "mac" →
//   "link", the checksum from "checksum" or "sha256", else the text at "checksumLink" or
//   "sha256Link" (its first word).
// - googleStudio: GET {AndroidStudio}/studio; reads the page's links to
//   "android-studio-VERSION-mac_arm.dmg" (arm64) or "-mac.dmg", and the first 64-digit hex
//   checksum after that file's name.
// - homebrewCask: GET {HomebrewApi}/cask/TOKEN.json; reads "version" (before a comma the
//   version, after it the build), "url", and "sha256" ("no_check": none).
// A download address other than https is invalidURL; a checksum link other than https is
// not followed. Stateless: requests may run concurrently.
class DirectDownloadManager {
public:
    // architecture: "arm64" or "x86_64"; empty for the machine's own.
    explicit DirectDownloadManager(NetworkClient& network, std::string architecture = {});

    // Throws DirectDownloadError (or NetworkError for a transfer that failed).
    DirectDownloadMetadata latest(const DirectDownloadConfig& config, std::stop_token stop = {}) const;

private:
    DirectDownloadMetadata jetBrains(const DirectDownloadConfig& config, std::stop_token stop) const;
    DirectDownloadMetadata googleStudio(const DirectDownloadConfig& config, std::stop_token stop) const;
    DirectDownloadMetadata homebrewCask(const DirectDownloadConfig& config, std::stop_token stop) const;
    std::string body(const std::string& url, std::stop_token stop) const;

    NetworkClient& network_;
    std::string architecture_;
};

}  // namespace vt
