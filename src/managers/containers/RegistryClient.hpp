#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Log.hpp"

namespace vt {

class NetworkClient;
struct HttpRequest;
struct HttpResponse;

// One repository of a registry speaking the distribution API ("/v2/"): container images and
// Ollama's models alike.
struct RegistryRepository {
    std::string apiBase;         // the API origin, scheme included
    std::string repository;      // "library/nginx"
    std::string credentialsKey;  // the key of the credentials files ("ghcr.io")
};

// The registry logins a user made with the engines' own `login`: the "auths" of Docker's
// config.json ($DOCKER_CONFIG, else ~/.docker) and of the containers tools' auth.json
// ($REGISTRY_AUTH_FILE, $XDG_RUNTIME_DIR/containers, ~/.config/containers). Only the stored
// "auth" value is used (already the Basic credentials' encoding); credential helpers are
// programs of their own and are not run. The values are secrets: never logged, never shown.
class RegistryCredentials {
public:
    // Reads the files of this user; a missing or unreadable file adds nothing.
    static RegistryCredentials load(const std::string& home);
    // The files given, first wins for a key (for tests).
    static RegistryCredentials fromFiles(const std::vector<std::string>& files);

    // The "Basic ..." header value for the key, if the user logged in there.
    std::optional<std::string> basicAuthorization(const std::string& key) const;

private:
    std::map<std::string, std::string> authByKey_;
};

// Asks registries what a tag stands for now: the digest of its manifest (a HEAD with every
// manifest and index type accepted, read from Docker-Content-Digest, else the digest of the
// manifest's bytes when a registry leaves that header out), and the tags of a
// repository (paged through Link headers). Registries that want a token get one: anonymous,
// or with the user's stored login for that registry, from the realm their challenge names
// (https only, or loopback). A registry that does not answer, or answers with an error, gives
// "no information" for that item and never fails the scan: only CancellationError propagates.
// Tokens are kept for the life of the client (one check). Thread-safe.
class RegistryClient {
public:
    static constexpr double kTimeLimitSeconds = 30.0;
    static constexpr int kMaxTagPages = 20;
    // A manifest is a few kilobytes; a larger answer is not one.
    static constexpr std::uint64_t kMaxManifestBytes = 4 << 20;
    static constexpr const char* kManifestAccept =
        "application/vnd.oci.image.index.v1+json, application/vnd.docker.distribution.manifest.list.v2+json, "
        "application/vnd.oci.image.manifest.v1+json, application/vnd.docker.distribution.manifest.v2+json";

    RegistryClient(NetworkClient& network, RegistryCredentials credentials, std::string logCategory);

    // The digest the registry serves for `reference` (a tag); nullopt when it cannot say.
    std::optional<std::string> manifestDigest(const RegistryRepository& repository, std::string_view reference,
                                              std::stop_token stop);
    // Every tag of the repository, up to kMaxTagPages pages; empty when it cannot say.
    std::vector<std::string> tags(const RegistryRepository& repository, std::stop_token stop);

    // Some registry could not be reached at all.
    bool wasUnreachable() const noexcept { return unreachable_.load(); }

    // What a "WWW-Authenticate: Bearer realm=...,service=...,scope=..." header holds.
    static std::map<std::string, std::string> parseChallenge(std::string_view header);
    // The address of the next page, from a Link header ("<...>; rel=\"next\""), resolved
    // against the registry; nullopt when there is none or it leaves the registry's origin.
    static std::optional<std::string> nextPage(std::string_view link, const std::string& apiBase);

private:
    HttpResponse send(const RegistryRepository& repository, HttpRequest request, std::stop_token stop);
    std::optional<std::string> token(const RegistryRepository& repository, std::string_view challenge,
                                     std::stop_token stop);

    NetworkClient& network_;
    RegistryCredentials credentials_;
    Logger log_;
    std::mutex mutex_;
    std::map<std::string, std::string> authorizationByRepository_;
    std::atomic<bool> unreachable_{false};
};

}  // namespace vt
