#include "system/RegistryRequest.hpp"

#include "base/Cancellation.hpp"
#include "base/Regex.hpp"

namespace vt {

RegistryRequest::RegistryRequest(NetworkClient& client, std::string logCategory)
    : client_(client), log_(std::move(logCategory)) {}

bool RegistryRequest::isLookupName(std::string_view name) {
    static const Regex pattern(kNamePattern);
    // The whole name must match: "$" alone would also accept a name ending in a line feed.
    return pattern.fullyMatches(name);
}

HttpRequest RegistryRequest::get(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    request.method = HttpMethod::Get;
    request.timeoutSeconds = kTimeLimitSeconds;
    request.headers.set("User-Agent", kUserAgent);
    return request;
}

HttpRequest RegistryRequest::gitHubGet(std::string url, const std::optional<std::string>& token) {
    HttpRequest request = get(std::move(url));
    request.headers.set("Accept", kGitHubAccept);
    if (token && !token->empty()) request.headers.set("Authorization", "Bearer " + *token);
    return request;
}

std::optional<Json> RegistryRequest::fetchJson(const HttpRequest& request, std::stop_token stop) const {
    try {
        HttpResponse response = client_.send(request, std::move(stop));
        if (response.statusCode != 200) {
            log_.debug(request.url + ": HTTP " + std::to_string(response.statusCode) + ", no information");
            return std::nullopt;
        }
        auto json = parseJson(response.body);
        if (!json) log_.debug(request.url + ": the answer is not JSON, no information");
        return json;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        log_.debug(request.url + ": " + error.what() + ", no information");
        return std::nullopt;
    }
}

std::optional<Json> RegistryRequest::fetchJson(const std::string& url, std::stop_token stop) const {
    return fetchJson(get(url), std::move(stop));
}

std::optional<Json> RegistryRequest::lookup(std::string_view name,
                                            const std::function<std::string(std::string_view)>& urlForName,
                                            std::stop_token stop) const {
    if (!isLookupName(name)) {
        log_.debug("Not looked up, the name does not pass the registry pattern: " + std::string(name));
        return std::nullopt;
    }
    std::string url;
    try {
        url = urlForName(name);
    } catch (const std::exception& error) {
        // A malformed address override, for one: said loudly, but the scan goes on.
        log_.warning(std::string("No registry address for ") + std::string(name) + ": " + error.what());
        return std::nullopt;
    }
    return fetchJson(url, std::move(stop));
}

}  // namespace vt
