#include "system/NetworkClient.hpp"

namespace vt {

NetworkError::NetworkError(Kind kind, int statusCode, std::string detail, const std::string& description)
    : std::runtime_error(description), kind_(kind), statusCode_(statusCode), detail_(std::move(detail)) {}

NetworkError NetworkError::invalidResponse(int statusCode) {
    return NetworkError(Kind::InvalidResponse, statusCode, "",
                        "Invalid response from server (HTTP " + std::to_string(statusCode) + ")");
}

NetworkError NetworkError::invalidURL(std::string url) {
    std::string description = "Invalid URL: " + url;
    return NetworkError(Kind::InvalidURL, 0, std::move(url), description);
}

NetworkError NetworkError::decodingFailed(std::string detail) {
    std::string description = "Failed to decode response: " + detail;
    return NetworkError(Kind::DecodingFailed, 0, std::move(detail), description);
}

NetworkError NetworkError::timeout() { return NetworkError(Kind::Timeout, 0, "", "Network request timed out"); }

NetworkError NetworkError::connectionFailed() {
    return NetworkError(Kind::ConnectionFailed, 0, "", "Failed to connect to server");
}

NetworkError NetworkError::sslError() { return NetworkError(Kind::SslError, 0, "", "SSL certificate error"); }

NetworkError NetworkError::noData() { return NetworkError(Kind::NoData, 0, "", "No data received from server"); }

NetworkError NetworkError::insecureRedirect(std::string url) {
    std::string description = "Refused a redirect from https to plain http: " + url;
    return NetworkError(Kind::InsecureRedirect, 0, std::move(url), description);
}

std::string NetworkError::recoverySuggestion() const {
    switch (kind_) {
        case Kind::InvalidResponse: return "The server may be experiencing issues. Try again later.";
        case Kind::InvalidURL: return "Check the URL format and try again";
        case Kind::DecodingFailed: return "The server response format may have changed. Update the app.";
        case Kind::Timeout:
        case Kind::ConnectionFailed: return "Check your internet connection and try again";
        case Kind::SslError: return "Check your network settings and ensure your system date/time is correct";
        case Kind::NoData: return "The server may not have returned any data. Try again.";
        case Kind::InsecureRedirect: return "The server hands the file out over an unencrypted connection; ask its publisher for an https address.";
    }
    return {};
}

NetworkError NetworkError::withCause(std::string cause) && {
    cause_ = std::move(cause);
    return std::move(*this);
}

}  // namespace vt
