#include "sources/generic/GenericFetch.hpp"

#include <algorithm>

#include "sources/generic/ManifestSupport.hpp"

namespace vt {

ManifestFetch::ManifestFetch(NetworkClient& network, std::stop_token stop)
    : network_(network), stop_(std::move(stop)), started_(std::chrono::steady_clock::now()) {}

HttpResponse ManifestFetch::get(const std::string& url, std::string_view accept) {
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double left = kResourceSeconds - spent;
    if (left <= 0.05) throw NetworkError::timeout();
    HttpRequest request;
    request.url = url;
    request.headers.set("Accept", std::string(accept));
    request.headers.set("User-Agent", "Vantreel/1.0");
    request.timeoutSeconds = std::min(kRequestSeconds, left);
    request.maxBodyBytes = kMaximumManifestBytes;
    return network_.send(request, stop_);
}

}  // namespace vt
