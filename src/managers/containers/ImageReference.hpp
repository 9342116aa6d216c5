#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// A tagged image name as a container engine lists it ("nginx:latest",
// "docker.io/library/nginx:1.25", "127.0.0.1:5000/team/app:v2"), split into the registry
// that serves it and the repository and tag asked for there. Names outside the reference
// grammar (upper case, empty components, a component starting with "-", control bytes, a
// digest instead of a tag) are refused: they never reach a registry address or a command.
struct ImageReference {
    std::string host;        // as written ("docker.io" when the name has none)
    std::string repository;  // as the registry knows it ("library/nginx" on Docker Hub)
    std::string tag;
    std::string name;        // the name as listed, without its tag: what pull is given

    // nullopt for anything that is not a well-formed "name:tag" (or a bare name, tag "latest").
    static std::optional<ImageReference> parse(std::string_view text);

    bool isDockerHub() const;
    // Loopback registries are spoken to over plain http, as the engines themselves allow for
    // 127.0.0.0/8 by default; every other registry over https.
    bool isLoopback() const;
    // The registry's API origin: https for a named host, Docker Hub's from Endpoints, plain http on loopback.
    std::string apiBase() const;
    // The keys a credentials file may file this registry under.
    std::string credentialsKey() const;

    std::string withTag(std::string_view otherTag) const { return name + ":" + std::string(otherTag); }
    std::string withDigest(std::string_view digest) const { return name + "@" + std::string(digest); }
};

// Whether a text is a digest a registry may answer ("sha256:" and 64 hex digits).
bool isManifestDigest(std::string_view text);

// Tags that are versions, and the newest of the same shape: "1.25" and "1.26" share the shape
// "#.#", "1.25-alpine" has another ("#.#-alpine"), and "latest" has none. Shapes keep every
// letter and separator, so a pre-release ("1.26-rc1") is never taken for a release.
std::optional<std::string> tagShape(std::string_view tag);
// The newest tag of `tags` with the shape of `current` that is newer than it, if any.
std::optional<std::string> newestTagOfSameShape(std::string_view current, const std::vector<std::string>& tags);

}  // namespace vt
