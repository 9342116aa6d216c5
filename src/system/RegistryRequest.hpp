#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/Json.hpp"
#include "base/Log.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

// The conventions of package-registry and tool-version lookups: a GET with a 60-second limit
// and our User-Agent, used only when the answer is a 200 with a JSON body. Anything else
// (another status, a transport failure, a body that is not JSON) is "no information" for that
// one item, never a failure of the scan around it; only cancellation propagates.
class RegistryRequest {
public:
    static constexpr double kTimeLimitSeconds = 60.0;
    static constexpr const char* kUserAgent = kDefaultUserAgent;
    static constexpr const char* kGitHubAccept = "application/vnd.github.v3+json";
    static constexpr const char* kNamePattern = "^[@a-zA-Z0-9._/-]+$";

    explicit RegistryRequest(NetworkClient& client, std::string logCategory = "RegistryRequest");

    // Whether a package name may be put into a registry address at all.
    static bool isLookupName(std::string_view name);

    static HttpRequest get(std::string url);
    // A GitHub REST request: the above plus the API's Accept header and, when given, the token.
    static HttpRequest gitHubGet(std::string url, const std::optional<std::string>& token = std::nullopt);

    std::optional<Json> fetchJson(const HttpRequest& request, std::stop_token stop = {}) const;
    std::optional<Json> fetchJson(const std::string& url, std::stop_token stop = {}) const;

    // Looks a package up by name. The address is built only for a name that passes
    // isLookupName, so a hostile name never reaches any server.
    std::optional<Json> lookup(std::string_view name, const std::function<std::string(std::string_view)>& urlForName,
                               std::stop_token stop = {}) const;

private:
    NetworkClient& client_;
    Logger log_;
};

}  // namespace vt
