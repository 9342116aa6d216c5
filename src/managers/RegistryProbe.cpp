#include "managers/RegistryProbe.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "system/NetworkClient.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

RegistryProbe::RegistryProbe(NetworkClient& client, Service service, std::string logCategory)
    : client_(client), service_(service), log_(std::move(logCategory)) {}

bool RegistryProbe::isSafeName(std::string_view name) {
    // A leading "-" would read as an option to the tool that is given the name.
    return !name.empty() && name.front() != '-' && RegistryRequest::isLookupName(name);
}

std::optional<Json> RegistryProbe::lookup(std::string_view name,
                                          const std::function<std::string(std::string_view)>& urlForName,
                                          std::stop_token stop) {
    std::optional<HttpResponse> response = fetch(name, urlForName, std::nullopt, stop);
    return response ? documentOf(*response, name) : std::nullopt;
}

std::optional<std::string> RegistryProbe::lookupText(std::string_view name,
                                                     const std::function<std::string(std::string_view)>& urlForName,
                                                     std::stop_token stop) {
    std::optional<HttpResponse> response = fetch(name, urlForName, std::nullopt, stop);
    if (!response) return std::nullopt;
    if (response->statusCode != 200) {
        log_.debug(localized("log.registry.no_information",
                             {std::string(name), localized("log.http_status", {std::to_string(response->statusCode)})}));
        return std::nullopt;
    }
    return std::move(response->body);
}

LatestVersionCache::RevalidatingLookup RegistryProbe::revalidatingLookup(
    std::function<std::string(std::string_view)> urlForName, std::function<std::string(const std::string&)> basis,
    AnswerReader read) {
    return [this, urlForName = std::move(urlForName), basis = std::move(basis), read = std::move(read)](
               const std::string& name, const LatestVersionCache::Answer* kept,
               std::stop_token stop) -> std::optional<LatestVersionCache::Answer> {
        const std::string prefix = basis(name) + "\n";
        std::optional<std::string> ifNoneMatch;
        if (kept && kept->etag && startsWith(*kept->etag, prefix)) ifNoneMatch = kept->etag->substr(prefix.size());
        std::optional<HttpResponse> response = fetch(name, urlForName, ifNoneMatch, stop);
        if (!response) return std::nullopt;
        if (ifNoneMatch && response->isNotModified()) {
            LatestVersionCache::Answer same;
            same.unchanged = true;
            return same;
        }
        std::optional<Json> document = documentOf(*response, name);
        std::optional<LatestVersionCache::Answer> answer = document ? read(*document, name, stop) : std::nullopt;
        if (answer) {
            if (std::optional<std::string> etag = response->etag()) answer->etag = prefix + *etag;
        }
        return answer;
    };
}

std::optional<HttpResponse> RegistryProbe::fetch(std::string_view name,
                                                 const std::function<std::string(std::string_view)>& urlForName,
                                                 const std::optional<std::string>& ifNoneMatch, std::stop_token stop) {
    if (!isSafeName(name)) {
        log_.debug(localized("log.registry.name_rejected", {std::string(name)}));
        return std::nullopt;
    }
    if (gaveUp_.load()) return std::nullopt;
    HttpRequest request;
    try {
        request = RegistryRequest::get(urlForName(name));
    } catch (const std::exception& error) {
        log_.warning(localized("log.registry.no_address", {std::string(name), error.what()}));
        return std::nullopt;
    }
    request.ifNoneMatch = ifNoneMatch;
    return send(request, stop);
}

std::optional<Json> RegistryProbe::documentOf(const HttpResponse& response, std::string_view name) {
    if (response.statusCode != 200) {
        log_.debug(localized("log.registry.no_information",
                             {std::string(name), localized("log.http_status", {std::to_string(response.statusCode)})}));
        return std::nullopt;
    }
    std::optional<Json> json = parseJson(response.body);
    if (!json) log_.debug(localized("log.registry.no_information", {std::string(name), localized("log.registry.not_json")}));
    return json;
}

std::optional<HttpResponse> RegistryProbe::send(const HttpRequest& request, std::stop_token stop) {
    if (gaveUp_.load()) return std::nullopt;
    try {
        HttpResponse response = client_.send(request, stop);
        answered_.store(true);
        return response;
    } catch (const CancellationError&) {
        throw;
    } catch (const NetworkError& error) {
        if (stop.stop_requested()) throw CancellationError();
        const bool noAnswer = error.kind() == NetworkError::Kind::Timeout ||
                              error.kind() == NetworkError::Kind::ConnectionFailed ||
                              error.kind() == NetworkError::Kind::SslError;
        log_.debug(localized("log.registry.no_information", {request.url, error.description() + " " + error.cause()}));
        if (noAnswer) {
            unreachable_.store(true);
            if (failures_.fetch_add(1) + 1 >= kGiveUpAfter && !answered_.load() && !gaveUp_.exchange(true)) {
                log_.warning(localized("log.registry.gave_up", {scope(), std::to_string(kGiveUpAfter)}));
            }
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        log_.debug(localized("log.registry.no_information", {request.url, error.what()}));
        return std::nullopt;
    }
}

std::string RegistryProbe::scope() const {
    try {
        return Endpoints::base(service_);
    } catch (const std::exception&) {
        return std::string(Endpoints::name(service_));
    }
}

std::string RegistryProbe::unreachableMessage() const {
    std::string host;
    try {
        host = Endpoints::host(service_);
    } catch (const std::exception&) {
        host = std::string(Endpoints::name(service_));
    }
    return localized("error.registry.unreachable", {host});
}

}  // namespace vt
