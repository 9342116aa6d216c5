#include "managers/containers/ContainerImageManager.hpp"

#include <algorithm>
#include <set>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/containers/ContainerError.hpp"
#include "managers/containers/ImageReference.hpp"
#include "managers/containers/RegistryClient.hpp"

namespace vt {

namespace {

// What the engines read their storage, daemon, registries and logins from: without these a
// child would see another storage than the user's shell.
const std::vector<const char*> kVariables = {
    "DOCKER_HOST", "DOCKER_CONFIG", "DOCKER_CONTEXT", "DOCKER_CERT_PATH", "DOCKER_TLS_VERIFY",
    "CONTAINER_HOST", "CONTAINER_CONNECTION", "CONTAINERS_CONF", "CONTAINERS_STORAGE_CONF",
    "CONTAINERS_REGISTRIES_CONF", "REGISTRY_AUTH_FILE", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
};

std::string repositoryOf(std::string_view reference) {
    // "name@digest" or "name:tag": the name ends at the "@", else at a ":" after the last "/".
    if (std::size_t at = reference.find('@'); at != std::string_view::npos) return std::string(reference.substr(0, at));
    const std::size_t slash = reference.rfind('/');
    const std::size_t colon = reference.rfind(':');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon > slash)) {
        return std::string(reference.substr(0, colon));
    }
    return std::string(reference);
}

RegistryRepository repositoryFor(const ImageReference& reference) {
    return {reference.apiBase(), reference.repository, reference.credentialsKey()};
}

}  // namespace

const SourceRow& ContainerImageManager::source() {
    static const SourceRow row{.id = "docker", .name = "Docker", .executables = {"docker", "podman"},
                               .types = {PackageType::DockerImage}, .toggle = ManagerToggleKey::ShowDocker,
                               .folders = {"/Applications/Docker.app/Contents/Resources/bin/", "/opt/podman/bin/"},
                               .completionLine = "Docker", .logTag = "docker",
                               .make = makeAdapter<ContainerImageManager>};
    return row;
}

ContainerImageManager::ContainerImageManager(CommandRunning& runner, const FileSystemManager& files)
    : ContainerImageManager(runner, files, ImageOptions{}) {}

ContainerImageManager::ContainerImageManager(CommandRunning& runner, const FileSystemManager& files,
                                             ImageOptions options)
    : ToolchainManager(source(), runner, files, options.base, kVariables, "ContainerImageManager"),
      imageOptions_(std::move(options)) {}

std::vector<ContainerImageManager::LocalImage> ContainerImageManager::parseDockerListing(std::string_view text) {
    std::vector<LocalImage> images;
    for (std::string_view line : splitLines(text)) {
        std::optional<Json> object = parseJson(trimView(line));
        if (!object || !object->is_object()) continue;
        const std::string repository = stringField(*object, "Repository").value_or("");
        const std::string tag = stringField(*object, "Tag").value_or("");
        if (repository.empty() || tag.empty() || repository == "<none>" || tag == "<none>") continue;
        LocalImage image;
        image.engine = "docker";
        image.name = repository + ":" + tag;
        const std::string digest = stringField(*object, "Digest").value_or("");
        if (isManifestDigest(digest)) image.digests.push_back(digest);
        image.size = stringField(*object, "Size").value_or("");
        images.push_back(std::move(image));
    }
    return images;
}

std::optional<std::vector<ContainerImageManager::LocalImage>> ContainerImageManager::parsePodmanListing(
    std::string_view text) {
    std::optional<Json> document = jsonAfterBanner(text);
    if (!document || !document->is_array()) return std::nullopt;
    std::vector<LocalImage> images;
    std::set<std::string> seen;
    for (const Json& entry : *document) {
        if (!entry.is_object()) continue;
        std::vector<std::string> names;
        for (const char* key : {"Names", "RepoTags"}) {
            auto found = entry.find(key);
            if (found == entry.end() || !found->is_array()) continue;
            for (const Json& name : *found) {
                if (name.is_string() && std::find(names.begin(), names.end(), name.get<std::string>()) == names.end()) {
                    names.push_back(name.get<std::string>());
                }
            }
        }
        std::vector<std::string> repoDigests;
        if (auto found = entry.find("RepoDigests"); found != entry.end() && found->is_array()) {
            for (const Json& digest : *found) {
                if (digest.is_string()) repoDigests.push_back(digest.get<std::string>());
            }
        }
        const long long size = integerField(entry, "Size").value_or(0);
        for (const std::string& name : names) {
            if (name.empty() || name.find("<none>") != std::string::npos) continue;
            // Podman prints an image once per name, each time with all of its names.
            if (!seen.insert(name).second) continue;
            LocalImage image;
            image.engine = "podman";
            image.name = name;
            // A digest counts for this name when it was recorded for the same repository.
            const std::string repository = repositoryOf(name);
            for (const std::string& repoDigest : repoDigests) {
                const std::size_t at = repoDigest.find('@');
                if (at == std::string::npos || repoDigest.substr(0, at) != repository) continue;
                const std::string digest = repoDigest.substr(at + 1);
                if (isManifestDigest(digest)) image.digests.push_back(digest);
            }
            if (size > 0) image.size = std::to_string(size);
            images.push_back(std::move(image));
        }
    }
    return images;
}

std::vector<std::pair<std::string, std::string>> ContainerImageManager::engines(std::stop_token stop) {
    {
        std::scoped_lock lock(mutex_);
        if (engines_) return *engines_;
    }
    std::vector<std::pair<std::string, std::string>> found;
    std::vector<std::string> folders;
    for (const std::string& folder : identity().folders) folders.push_back(folder);
    for (const std::string& engine : identity().executables) {
        if (auto path = ExecutableLocator(files_).locate(engine, stop, folders)) found.emplace_back(engine, *path);
    }
    std::scoped_lock lock(mutex_);
    engines_ = found;
    return found;
}

std::vector<ContainerImageManager::LocalImage> ContainerImageManager::readImages(std::stop_token stop,
                                                                                 std::optional<std::string>& message) {
    std::vector<LocalImage> images;
    std::vector<std::string> failures;
    bool answered = false;
    for (const auto& [engine, path] : engines(stop)) {
        const std::vector<std::string> arguments =
            engine == "docker" ? std::vector<std::string>{"image", "ls", "--digests", "--no-trunc", "--format", "{{json .}}"}
                               : std::vector<std::string>{"images", "--format", "json"};
        std::optional<std::string> failure;
        std::vector<LocalImage> listed;
        try {
            ShellCommandResult result = tool(arguments, kListTimeout, stop, path);
            if (result.exitCode != 0) {
                failure = firstLine(result.standardError.empty() ? result.standardOutput : result.standardError);
            } else if (engine == "docker") {
                listed = parseDockerListing(result.standardOutput);
            } else if (auto parsed = parsePodmanListing(result.standardOutput)) {
                listed = std::move(*parsed);
            } else {
                failure = localized("container.unreadable_listing", {engine});
            }
        } catch (const CommandError& error) {
            if (stop.stop_requested()) throw CancellationError();
            failure = error.description();
        }
        if (failure) {
            log().warning(localized("log.command_error", {engine, *failure}));
            failures.push_back(engine + ": " + *failure);
            continue;
        }
        answered = true;
        images.insert(images.end(), listed.begin(), listed.end());
    }
    if (!answered && !failures.empty()) message = localized("container.scan_error", {join(failures, "; ")});
    std::scoped_lock lock(lastMutex_);
    lastImages_ = images;
    return images;
}

Package ContainerImageManager::makePackage(const LocalImage& image) {
    Package package;
    package.name = image.name;
    package.version = image.digests.empty() ? std::string("unknown") : image.digests.front();
    package.type = PackageType::DockerImage;
    package.sourceIdentifier = image.engine;
    if (!image.size.empty()) package.size = image.size;
    return package;
}

std::vector<Package> ContainerImageManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> packages;
    for (const LocalImage& image : readImages(stop, message)) packages.push_back(makePackage(image));
    return packages;
}

std::vector<Package> ContainerImageManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::optional<std::vector<LocalImage>> images;
    {
        std::scoped_lock lock(lastMutex_);
        images = lastImages_;
    }
    if (!images) images = readImages(stop, message);
    const std::vector<std::string> credentialFiles = imageOptions_.credentialFiles.value_or(std::vector<std::string>{});
    RegistryClient registry(network(),
                            imageOptions_.credentialFiles ? RegistryCredentials::fromFiles(credentialFiles)
                                                          : RegistryCredentials::load(home()),
                            "ContainerImageManager");
    std::vector<Package> outdated;
    for (const LocalImage& image : *images) {
        if (stop.stop_requested()) throw CancellationError();
        const std::optional<ImageReference> reference = ImageReference::parse(image.name);
        // Built here and never pulled: no registry digest to compare with.
        if (!reference || image.digests.empty()) continue;
        const RegistryRepository repository = repositoryFor(*reference);
        std::string target = image.name;
        std::optional<std::string> digest;
        if (tagShape(reference->tag)) {
            if (auto newer = newestTagOfSameShape(reference->tag, registry.tags(repository, stop))) {
                digest = registry.manifestDigest(repository, *newer, stop);
                if (digest) target = reference->withTag(*newer);
            }
        }
        if (!digest) digest = registry.manifestDigest(repository, reference->tag, stop);
        if (!digest || !isManifestDigest(*digest)) continue;
        if (target == image.name &&
            std::find(image.digests.begin(), image.digests.end(), *digest) != image.digests.end()) {
            continue;
        }
        Package package = makePackage(image);
        package.latestVersion = *digest;
        package.description = target;
        outdated.push_back(std::move(package));
    }
    if (registry.wasUnreachable()) message = localized("container.registry_unreachable");
    return outdated;
}

void ContainerImageManager::update(const Package& package, std::stop_token stop) {
    const std::optional<ImageReference> reference = ImageReference::parse(package.name);
    if (!reference) throw ContainerError::invalidReference(package.name);
    // The reference pulled: the row's own tag, or a newer tag of the same image it named.
    ImageReference target = *reference;
    if (package.description && !package.description->empty() && *package.description != package.name) {
        std::optional<ImageReference> other = ImageReference::parse(*package.description);
        if (!other || other->name != reference->name) throw ContainerError::invalidReference(*package.description);
        target = *other;
    }
    const std::string digest = package.latestVersion.value_or("");
    if (!isManifestDigest(digest)) throw ContainerError::nothingToPull(package.name);
    const std::string engine = package.sourceIdentifier.value_or("");
    std::string path;
    for (const auto& [name, executable] : engines(stop)) {
        if (name == engine || (engine.empty() && path.empty())) path = executable;
    }
    if (path.empty()) throw ContainerError::engineMissing(engine.empty() ? identity().name : engine);

    const std::string pinned = target.withDigest(digest);
    const std::string tagged = target.withTag(target.tag);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"pull", pinned}, std::vector<std::string>{"tag", pinned, tagged}}) {
        runUpdate(arguments, arguments.front() == "pull" ? kPullTimeout : kTagTimeout, stop, failContainer, path);
    }
    std::optional<std::string> message;
    std::vector<LocalImage> images = readImages(stop, message);
    const bool holds = std::any_of(images.begin(), images.end(), [&](const LocalImage& image) {
        return image.engine == engine && image.name == tagged &&
               std::find(image.digests.begin(), image.digests.end(), digest) != image.digests.end();
    });
    if (!holds) throw ContainerError::notMoved(tagged, digest);
    std::vector<Package> packages;
    for (const LocalImage& image : images) packages.push_back(makePackage(image));
    publishPackages(std::move(packages));
}

}  // namespace vt
