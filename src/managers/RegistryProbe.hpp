#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/Json.hpp"
#include "base/Log.hpp"
#include "managers/LatestVersionCache.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

// Registry look-ups with the registry conventions (a GET with our User-Agent and a 60-second
// limit, a 200 with a JSON body or nothing), which also remember whether the registry could
// be reached at all: a name the registry does not know and a registry out of reach both give
// "no version", but only the second deserves a message. Thread-safe: the look-ups of one scan
// run several at a time through one probe.
class RegistryProbe {
public:
    RegistryProbe(NetworkClient& client, Service service, std::string logCategory);

    // The document at urlForName(name); nullopt for a name that fails the registry name pattern
    // (never put into an address), another status, a body that is not JSON or no answer.
    // Throws CancellationError when stopped.
    std::optional<Json> lookup(std::string_view name, const std::function<std::string(std::string_view)>& urlForName,
                               std::stop_token stop);
    // The same for a document that is not JSON: its body, as it came.
    std::optional<std::string> lookupText(std::string_view name,
                                          const std::function<std::string(std::string_view)>& urlForName,
                                          std::stop_token stop);

    // What a registry's document says, for the latest-version cache; nullopt when it says nothing.
    using AnswerReader = std::function<std::optional<LatestVersionCache::Answer>(
        const Json& document, const std::string& name, std::stop_token stop)>;
    // A cache look-up of the document at urlForName(name), read by `read`. An answer kept past
    // its time limit is asked again with its ETag, which counts only where it was read for the
    // same basis(name) (what else the answer depends on, such as the installed version): the
    // registry's "not modified" keeps it for another period.
    LatestVersionCache::RevalidatingLookup revalidatingLookup(std::function<std::string(std::string_view)> urlForName,
                                                             std::function<std::string(const std::string&)> basis,
                                                             AnswerReader read);

    // One exchange, with any status; nullopt when it got no answer (counted as above).
    std::optional<HttpResponse> send(const HttpRequest& request, std::stop_token stop);

    // Takes the registry for out of reach at once, when a request to the same host just got no
    // answer: the look-ups still to come are not asked.
    void giveUp() noexcept { gaveUp_.store(true); }

    // Some request got no answer at all (name resolution, connection, TLS, time limit).
    bool wasUnreachable() const noexcept { return unreachable_.load(); }

    // When the first this many look-ups all go without an answer, the registry is taken for
    // out of reach and the names still to come are not asked: offline, each would wait for
    // its own failure (up to the time limit) for nothing. Once it has answered, a registry is
    // only slow and every name is asked.
    static constexpr int kGiveUpAfter = 5;
    // "Latest versions unknown: crates.io cannot be reached", naming the host in effect.
    std::string unreachableMessage() const;

    // The address in effect, as the cache's scope: versions a mirror gave are not taken for the
    // public registry's, nor the other way round.
    std::string scope() const;

    // A name we put into an address or an argument list: the registry pattern, and no leading
    // "-" that a tool would read as an option.
    static bool isSafeName(std::string_view name);

private:
    // The exchange of a look-up: nullopt for a name refused, no address, or no answer.
    std::optional<HttpResponse> fetch(std::string_view name, const std::function<std::string(std::string_view)>& urlForName,
                                      const std::optional<std::string>& ifNoneMatch, std::stop_token stop);
    std::optional<Json> documentOf(const HttpResponse& response, std::string_view name);

    NetworkClient& client_;
    Service service_;
    Logger log_;
    std::atomic<bool> unreachable_{false};
    std::atomic<int> failures_{0};
    std::atomic<bool> answered_{false};
    std::atomic<bool> gaveUp_{false};
};

}  // namespace vt
