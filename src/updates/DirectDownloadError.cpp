#include "updates/DirectDownloadError.hpp"
#include "base/Localization.hpp"

#include <utility>

#include "base/Localization.hpp"

namespace vt {

DirectDownloadError::DirectDownloadError(Kind kind, int statusCode, std::string message, const std::string& description)
    : std::runtime_error(description), kind_(kind), statusCode_(statusCode), message_(std::move(message)) {}

DirectDownloadError DirectDownloadError::httpError(int statusCode) {
    return DirectDownloadError(Kind::HttpError, statusCode, {}, localized("direct.http_error", {std::to_string(statusCode)}));
}

DirectDownloadError DirectDownloadError::installFailed(std::string message) {
    std::string text = localized("direct.install_failed", {message});
    return DirectDownloadError(Kind::InstallFailed, 0, std::move(message), text);
}

DirectDownloadError DirectDownloadError::invalidURL() {
    return DirectDownloadError(Kind::InvalidURL, 0, {}, localized("direct.invalid_url"));
}

DirectDownloadError DirectDownloadError::releaseNotFound() {
    return DirectDownloadError(Kind::ReleaseNotFound, 0, {}, localized("direct.release_not_found"));
}

DirectDownloadError DirectDownloadError::downloadNotFound() {
    return DirectDownloadError(Kind::DownloadNotFound, 0, {}, localized("direct.download_not_found"));
}

DirectDownloadError DirectDownloadError::unsupportedFileType() {
    return DirectDownloadError(Kind::UnsupportedFileType, 0, {},
                               localized("direct.unsupported_file_type"));
}

DirectDownloadError DirectDownloadError::checksumMismatch() {
    return DirectDownloadError(Kind::ChecksumMismatch, 0, {},
                               localized("direct.checksum_mismatch"));
}

DirectDownloadError DirectDownloadError::noCompatibleFile(const std::string& architecture, const std::string& product) {
    return DirectDownloadError(Kind::NoCompatibleFile, 0, {}, localized("direct.no_compatible_file", {architecture, product}));
}

DirectDownloadError DirectDownloadError::notNewer(std::string message) {
    std::string text = message;
    return DirectDownloadError(Kind::NotNewer, 0, std::move(message), text);
}

DirectDownloadError DirectDownloadError::appRunning(const std::string& appName) {
    std::string text = localized("update.refused_running", {appName});
    return DirectDownloadError(Kind::AppRunning, 0, text, text);
}

}  // namespace vt
