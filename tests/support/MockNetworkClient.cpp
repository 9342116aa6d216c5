#include "support/MockNetworkClient.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"

namespace vt::testing {

void MockNetworkClient::setText(const std::string& url, std::string text) {
    std::scoped_lock lock(mutex_);
    text_[url] = std::move(text);
}

void MockNetworkClient::setError(const std::string& url, NetworkError error) {
    std::scoped_lock lock(mutex_);
    errors_.insert_or_assign(url, std::move(error));
}

void MockNetworkClient::setResponse(const std::string& url, HttpResponse response) {
    std::scoped_lock lock(mutex_);
    responses_[url] = std::move(response);
}

std::vector<std::string> MockNetworkClient::fetchedURLs() const {
    std::scoped_lock lock(mutex_);
    return history_;
}

std::vector<HttpRequest> MockNetworkClient::sentRequests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
}

std::size_t MockNetworkClient::fetchCount(const std::string& url) const {
    std::scoped_lock lock(mutex_);
    return static_cast<std::size_t>(std::count(history_.begin(), history_.end(), url));
}

void MockNetworkClient::begin(const std::string& url, const std::optional<HttpRequest>& request,
                              const std::stop_token& stop) {
    if (stop.stop_requested()) throw CancellationError();
    std::optional<NetworkError> error;
    {
        std::scoped_lock lock(mutex_);
        history_.push_back(url);
        if (request) requests_.push_back(*request);
        if (auto it = errors_.find(url); it != errors_.end()) error = it->second;
    }
    if (error) throw *error;
}

std::optional<HttpResponse> MockNetworkClient::cannedResponse(const std::string& url) const {
    std::scoped_lock lock(mutex_);
    HttpResponse response;
    response.url = url;
    response.statusCode = 200;
    if (auto it = responses_.find(url); it != responses_.end()) return it->second;
    if (auto it = text_.find(url); it != text_.end()) {
        response.body = it->second;
        return response;
    }
    return std::nullopt;
}

HttpResponse MockNetworkClient::send(const HttpRequest& request, std::stop_token stop) {
    begin(request.url, request, stop);
    if (auto response = cannedResponse(request.url)) {
        if (request.method == HttpMethod::Head) response->body.clear();
        return *response;
    }
    HttpResponse missing;
    missing.url = request.url;
    missing.statusCode = 404;
    return missing;
}

HttpResponse MockNetworkClient::download(const HttpRequest& request, const std::string& destinationPath,
                                         const DownloadProgressHandler& onProgress, std::stop_token stop) {
    begin(request.url, request, stop);
    auto response = cannedResponse(request.url);
    if (!response) throw NetworkError::invalidResponse(404);
    std::string body = successfulBody(*response);
    if (onProgress) onProgress(DownloadProgress{body.size(), body.size()});
    writeFileAtomically(destinationPath, body);
    response->body.clear();
    return *response;
}

std::string MockNetworkClient::fetchData(const std::string& url, std::stop_token stop) {
    begin(url, std::nullopt, stop);
    auto response = cannedResponse(url);
    if (!response) throw NetworkError::invalidResponse(404);
    return successfulBody(*response);
}

std::string MockNetworkClient::fetchText(const std::string& url, std::stop_token stop) {
    return decodedText(fetchData(url, std::move(stop)));
}

}  // namespace vt::testing
