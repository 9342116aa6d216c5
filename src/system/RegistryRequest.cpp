#include "system/RegistryRequest.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Regex.hpp"

namespace vt {

RegistryRequest::RegistryRequest(NetworkClient& client, std::string logCategory)
    : client_(client), log_(std::move(logCategory)) {}

bool RegistryRequest::isLookupName(std::string_view name) {
    static const Regex pattern(kNamePattern);
    // The whole name must match: "$" alone would also accept a name ending in a line feed.
    if (!pattern.fullyMatches(name)) return false;
    // A "." or ".." segment would be resolved against the registry path the name is put into,
    // and climb out of it: "../../x" asks another address of the registry's host.
    std::string_view rest = name;
    while (true) {
        const std::size_t slash = rest.find('/');
        const std::string_view segment = rest.substr(0, slash);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (slash == std::string_view::npos) return true;
        rest.remove_prefix(slash + 1);
    }
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
            log_.debug(localized("log.registry.no_information",
                                 {request.url, localized("log.http_status", {std::to_string(response.statusCode)})}));
            return std::nullopt;
        }
        auto json = parseJson(response.body);
        if (!json)
            log_.debug(localized("log.registry.no_information", {request.url, localized("log.registry.not_json")}));
        return json;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        log_.debug(localized("log.registry.no_information", {request.url, error.what()}));
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
        log_.debug(localized("log.registry.name_rejected", {std::string(name)}));
        return std::nullopt;
    }
    std::string url;
    try {
        url = urlForName(name);
    } catch (const std::exception& error) {
        // A malformed address override, for one: said loudly, but the scan goes on.
        log_.warning(localized("log.registry.no_address", {std::string(name), error.what()}));
        return std::nullopt;
    }
    return fetchJson(url, std::move(stop));
}

}  // namespace vt
