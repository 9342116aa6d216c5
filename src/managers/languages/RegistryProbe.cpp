#include "managers/languages/RegistryProbe.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "system/NetworkClient.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

RegistryProbe::RegistryProbe(NetworkClient& client, Service service, std::string logCategory)
    : client_(client), service_(service), log_(std::move(logCategory)) {}

bool RegistryProbe::isSafeName(std::string_view name) {
    // ".." would climb out of the registry path the name is put into.
    return !name.empty() && name.front() != '-' && name.find("..") == std::string_view::npos &&
           RegistryRequest::isLookupName(name);
}

std::optional<Json> RegistryProbe::lookup(std::string_view name,
                                          const std::function<std::string(std::string_view)>& urlForName,
                                          std::stop_token stop) {
    if (!isSafeName(name)) {
        log_.debug("Not looked up, the name does not pass the registry pattern: " + std::string(name));
        return std::nullopt;
    }
    if (gaveUp_.load()) return std::nullopt;
    std::string url;
    try {
        url = urlForName(name);
    } catch (const std::exception& error) {
        log_.warning("No registry address for " + std::string(name) + ": " + error.what());
        return std::nullopt;
    }
    try {
        HttpResponse response = client_.send(RegistryRequest::get(url), stop);
        answered_.store(true);
        if (response.statusCode != 200) {
            log_.debug(url + ": HTTP " + std::to_string(response.statusCode) + ", no information");
            return std::nullopt;
        }
        std::optional<Json> json = parseJson(response.body);
        if (!json) log_.debug(url + ": the answer is not JSON, no information");
        return json;
    } catch (const CancellationError&) {
        throw;
    } catch (const NetworkError& error) {
        if (stop.stop_requested()) throw CancellationError();
        const bool noAnswer = error.kind() == NetworkError::Kind::Timeout ||
                              error.kind() == NetworkError::Kind::ConnectionFailed ||
                              error.kind() == NetworkError::Kind::SslError;
        log_.debug(url + ": " + error.description() + " " + error.cause() + ", no information");
        if (noAnswer) {
            unreachable_.store(true);
            if (failures_.fetch_add(1) + 1 >= kGiveUpAfter && !answered_.load() && !gaveUp_.exchange(true)) {
                log_.warning(scope() + " answered none of the first " + std::to_string(kGiveUpAfter) +
                             " look-ups; the other names are not asked this time");
            }
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        log_.debug(url + ": " + error.what() + ", no information");
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
