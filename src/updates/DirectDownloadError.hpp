#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// Why a downloaded application was not installed; `description()` is the user-facing text.
class DirectDownloadError : public std::runtime_error {
public:
    enum class Kind {
        HttpError,
        InstallFailed,
        InvalidURL,
        ReleaseNotFound,
        DownloadNotFound,
        UnsupportedFileType,
        ChecksumMismatch,
        NoCompatibleFile,
        NotNewer,    // what is installed now is as new or newer (or gone): nothing was replaced
        AppRunning,  // the application runs and the user did not agree to replace it
    };

    static DirectDownloadError httpError(int statusCode);
    static DirectDownloadError installFailed(std::string message);
    static DirectDownloadError invalidURL();
    static DirectDownloadError releaseNotFound();
    static DirectDownloadError downloadNotFound();
    static DirectDownloadError unsupportedFileType();
    static DirectDownloadError checksumMismatch();
    // The product publishes files for other processor kinds only.
    static DirectDownloadError noCompatibleFile(const std::string& architecture, const std::string& product);
    // Refusals before anything is replaced; the message is the whole description.
    static DirectDownloadError notNewer(std::string message);
    static DirectDownloadError appRunning(const std::string& appName);

    Kind kind() const noexcept { return kind_; }
    int statusCode() const noexcept { return statusCode_; }
    // installFailed's message, without the "L'installation a échoué: " before it (and the
    // refusals' own).
    const std::string& message() const noexcept { return message_; }
    std::string description() const { return what(); }

private:
    DirectDownloadError(Kind kind, int statusCode, std::string message, const std::string& description);
    Kind kind_;
    int statusCode_;
    std::string message_;
};

}  // namespace vt
