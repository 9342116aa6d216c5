#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for container images, with Docker and Podman alike: each engine found is asked
// for its tagged images (`docker image ls --digests --no-trunc --format '{{json .}}'`, one JSON
// object a line; `podman images --format json`, one array), and each image's registry is asked
// whether its tag now names another manifest (RegistryClient). For a tag that is a version
// ("16.1", "v2.3-alpine"), the repository's tags are read too and the newest tag of the same
// shape is offered instead when there is one. A row's version is the image's digest and its
// latest version the digest the update pulls; the reference pulled, when it is another tag,
// is the row's description.
//
// The update pulls exactly the digest shown (`ENGINE pull NAME@DIGEST`) and tags it
// (`ENGINE tag NAME@DIGEST NAME:TAG`), with the engine that listed the image; it then reads
// the listing again and fails when the tag does not hold that digest. Names, tags and
// digests are checked before any command.
//
// Images built here and never pulled have no registry digest (Docker) or one the registry
// never served (Podman): they are listed, and a registry that does not know their tag offers
// nothing. An engine that fails (a Docker client without its daemon) is logged; the source
// reports a failure only when no engine answered. Thread-safe; no lock held while a tool runs.
class ContainerImageManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kPullTimeout = 1800;
    static constexpr double kTagTimeout = 30;

    // One tagged image of one engine.
    struct LocalImage {
        std::string engine;  // "docker" or "podman"
        std::string name;    // "nginx:latest", as the engine lists it
        std::vector<std::string> digests;  // the registry digests it is known by
        std::string size;

        friend bool operator==(const LocalImage&, const LocalImage&) = default;
    };

    struct ImageOptions {
        ToolchainManager::Options base;
        // Replaces the credentials files of this user (tests).
        std::optional<std::vector<std::string>> credentialFiles;
    };

    ContainerImageManager(CommandRunning& runner, const FileSystemManager& files);
    ContainerImageManager(CommandRunning& runner, const FileSystemManager& files, ImageOptions options);

    void update(const Package& package, std::stop_token stop) override;

    // Docker's listing; lines that are not objects, and untagged images, are skipped.
    static std::vector<LocalImage> parseDockerListing(std::string_view text);
    // Podman's listing; one image gives one row per name; nullopt when it is not a JSON array.
    static std::optional<std::vector<LocalImage>> parsePodmanListing(std::string_view text);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;

    // The engines here, name to executable, in the row's order.
    std::vector<std::pair<std::string, std::string>> engines(std::stop_token stop);
    std::vector<LocalImage> readImages(std::stop_token stop, std::optional<std::string>& message);
    static Package makePackage(const LocalImage& image);

    ImageOptions imageOptions_;
    std::mutex mutex_;
    std::optional<std::vector<std::pair<std::string, std::string>>> engines_;
    std::mutex lastMutex_;
    std::optional<std::vector<LocalImage>> lastImages_;
};

}  // namespace vt
