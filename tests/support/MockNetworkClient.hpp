#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/NetworkClient.hpp"

namespace vt::testing {

// A NetworkClient that answers from canned data keyed by URL text and remembers what was
// asked. Errors win over responses, full responses over text. A URL with
// nothing canned answers 404 (send) or throws invalidResponse(404) (the fetch operations).
// Safe to use from many threads.
class MockNetworkClient final : public NetworkClient {
public:
    void setText(const std::string& url, std::string text);
    void setError(const std::string& url, NetworkError error);
    void setResponse(const std::string& url, HttpResponse response);

    std::vector<std::string> fetchedURLs() const;  // every URL asked for, in order
    std::vector<HttpRequest> sentRequests() const;  // the requests of send and download
    std::size_t fetchCount(const std::string& url) const;

    HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) override;
    // Writes the canned body to destinationPath.
    HttpResponse download(const HttpRequest& request, const std::string& destinationPath,
                          const DownloadProgressHandler& onProgress = {}, std::stop_token stop = {}) override;
    std::string fetchData(const std::string& url, std::stop_token stop = {}) override;
    std::string fetchText(const std::string& url, std::stop_token stop = {}) override;

private:
    // Records the fetch and throws the canned error, if any.
    void begin(const std::string& url, const std::optional<HttpRequest>& request, const std::stop_token& stop);
    std::optional<HttpResponse> cannedResponse(const std::string& url) const;

    mutable std::mutex mutex_;
    std::map<std::string, std::string> text_;
    std::map<std::string, NetworkError> errors_;
    std::map<std::string, HttpResponse> responses_;
    std::vector<std::string> history_;
    std::vector<HttpRequest> requests_;
};

}  // namespace vt::testing
