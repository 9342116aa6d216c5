#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Json.hpp"
#include "base/Platform.hpp"

namespace vt {

// The failures of an HTTP exchange, each with the text shown to the user and a hint at what
// to do about it. Two errors are equal when they are the same case with equal payloads.
class NetworkError : public std::runtime_error {
public:
    enum class Kind {
        InvalidResponse, InvalidURL, DecodingFailed, Timeout, ConnectionFailed, SslError, NoData,
        InsecureRedirect,  // an https request redirected to plain http (the detail is where to)
    };

    static NetworkError invalidResponse(int statusCode);
    static NetworkError invalidURL(std::string url);
    static NetworkError decodingFailed(std::string detail);
    static NetworkError timeout();
    static NetworkError connectionFailed();
    static NetworkError sslError();
    static NetworkError noData();
    static NetworkError insecureRedirect(std::string url);

    Kind kind() const noexcept { return kind_; }
    int statusCode() const noexcept { return statusCode_; }             // InvalidResponse; 0 otherwise
    const std::string& detail() const noexcept { return detail_; }      // the URL, or what failed to decode
    std::string description() const { return what(); }
    std::string recoverySuggestion() const;

    // What the transport itself reported (curl's message), for the log only: it is not part
    // of the description nor of equality.
    const std::string& cause() const noexcept { return cause_; }
    NetworkError withCause(std::string cause) &&;

    friend bool operator==(const NetworkError& a, const NetworkError& b) noexcept {
        return a.kind_ == b.kind_ && a.statusCode_ == b.statusCode_ && a.detail_ == b.detail_;
    }

private:
    NetworkError(Kind kind, int statusCode, std::string detail, const std::string& description);
    Kind kind_;
    int statusCode_;
    std::string detail_;
    std::string cause_;
};

// Header fields in the order received; names compare without regard to case.
class HttpHeaders {
public:
    HttpHeaders() = default;
    HttpHeaders(std::initializer_list<std::pair<std::string, std::string>> entries);

    void add(std::string name, std::string value);
    // Replaces every field of that name.
    void set(std::string name, std::string value);
    void remove(std::string_view name);
    // The first field of that name.
    std::optional<std::string> get(std::string_view name) const;
    std::vector<std::string> getAll(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name).has_value(); }

    const std::vector<std::pair<std::string, std::string>>& entries() const noexcept { return entries_; }
    bool empty() const noexcept { return entries_.empty(); }
    void clear() noexcept { entries_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

enum class HttpMethod { Get, Head, Post };

// The product's own user agent, sent when a request names none: our version and the
// operating system we run on, "Vantreel/0.1.0 (Linux)".
inline constexpr const char* kDefaultUserAgent =
    kBuiltForMac ? "Vantreel/" VT_PROGRAM_VERSION " (macOS)" : "Vantreel/" VT_PROGRAM_VERSION " (Linux)";
inline constexpr double kDefaultRequestTimeoutSeconds = 60.0;
// A JSON index or a web page is far below this; anything larger is not what we asked for.
inline constexpr std::uint64_t kDefaultMaxBodyBytes = 64ull * 1024 * 1024;

struct HttpRequest {
    std::string url;
    HttpMethod method = HttpMethod::Get;
    HttpHeaders headers;
    std::string body;  // sent with Post
    double timeoutSeconds = kDefaultRequestTimeoutSeconds;  // the whole exchange, redirects included
    // When set, the exchange has no whole-transfer limit: it fails only when no byte arrives
    // for this long (timeoutSeconds still bounds the connection). A 2 GB image over a slow
    // line must finish; a dead server must not hold the download forever.
    std::optional<double> stallTimeoutSeconds;
    int maxRedirects = 10;                                  // 0: a redirect is returned as it is
    // A stored ETag: sent as If-None-Match, so an unchanged resource answers 304.
    std::optional<std::string> ifNoneMatch;
    // Certificates to trust for this exchange instead of the client's (a tool's own "cert" setting).
    std::optional<std::string> caFile;
    // Bodies kept in memory are bounded by kDefaultMaxBodyBytes unless this says otherwise;
    // downloads to a file are unbounded unless it is set.
    std::optional<std::uint64_t> maxBodyBytes;
};

struct HttpResponse {
    int statusCode = 0;
    std::string url;  // where the body came from, after redirects
    HttpHeaders headers;
    std::string body;

    bool isSuccess() const noexcept { return statusCode >= 200 && statusCode < 300; }
    bool isNotModified() const noexcept { return statusCode == 304; }

    std::optional<std::string> header(std::string_view name) const { return headers.get(name); }
    std::optional<std::string> etag() const { return headers.get("ETag"); }
    std::optional<std::string> contentType() const { return headers.get("Content-Type"); }
    std::optional<std::string> contentDisposition() const { return headers.get("Content-Disposition"); }
    std::optional<std::uint64_t> contentLength() const;
    // Only the delay-seconds form; an HTTP date gives nullopt.
    std::optional<long long> retryAfterSeconds() const;
    std::optional<long long> rateLimitRemaining() const;
    std::optional<long long> rateLimitReset() const;  // seconds since 1970
};

struct DownloadProgress {
    std::uint64_t bytesReceived = 0;
    std::optional<std::uint64_t> totalBytes;  // when the server announced a length
};
using DownloadProgressHandler = std::function<void(const DownloadProgress&)>;

// HTTP access for the whole system. Implemented by SystemNetworkClient; MockNetworkClient in
// tests. Every call may be made from any thread and blocks the calling one; stopping the
// token aborts the transfer and the call throws CancellationError.
class NetworkClient {
public:
    virtual ~NetworkClient() = default;

    // One exchange. Every HTTP status comes back as a response; only a failed transfer throws
    // NetworkError (a redirect loop is invalidResponse with the last redirect's status).
    virtual HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) = 0;

    // Streams the body of a 2xx answer into a temporary sibling of destinationPath and renames
    // it over destinationPath only when complete; on any failure or cancellation nothing is
    // left under either name. The returned response has an empty body. Besides NetworkError,
    // a file that cannot be written throws FileWriteError.
    virtual HttpResponse download(const HttpRequest& request, const std::string& destinationPath,
                                  const DownloadProgressHandler& onProgress = {}, std::stop_token stop = {}) = 0;

    // The bytes at a URL: a 2xx answer with a body, else invalidResponse or noData.
    virtual std::string fetchData(const std::string& url, std::stop_token stop = {});
    // The same, decoded as UTF-8: bytes that are not UTF-8 are decodingFailed.
    virtual std::string fetchText(const std::string& url, std::stop_token stop = {});
    // The same, parsed as JSON: anything else is decodingFailed.
    Json fetchJson(const std::string& url, std::stop_token stop = {});

    // The checks above, for callers that built their own request.
    static std::string successfulBody(const HttpResponse& response);
    static std::string decodedText(std::string bytes);
    static Json decodedJson(std::string_view text);
};

}  // namespace vt
