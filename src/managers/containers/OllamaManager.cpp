#include "managers/containers/OllamaManager.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/containers/ContainerError.hpp"
#include "managers/containers/RegistryClient.hpp"
#include "model/VersionRules.hpp"
#include "system/ContentDigest.hpp"
#include "system/Endpoints.hpp"

namespace vt {

namespace {

// Ollama's default registry, as it names the folder of the models pulled by a short name.
constexpr const char* kDefaultHost = "registry.ollama.ai";

std::vector<std::string> folderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code kind;
        if (it->is_directory(kind) || it->is_regular_file(kind)) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool isLoopbackHost(std::string_view host) {
    std::string_view bare = host.substr(0, host.find(':'));
    return bare == "localhost" || bare.starts_with("127.");
}

RegistryRepository repositoryOf(const OllamaManager::Model& model) {
    std::string base = model.host == kDefaultHost ? Endpoints::base(Service::OllamaRegistry)
                                                  : (isLoopbackHost(model.host) ? "http://" : "https://") + model.host;
    return {std::move(base), model.repository, model.host};
}

}  // namespace

const SourceRow& OllamaManager::source() {
    static const SourceRow row{.id = "ollama", .name = "Ollama", .executables = {"ollama"},
                               .types = {PackageType::OllamaModel}, .toggle = ManagerToggleKey::ShowOllama,
                               .folders = {"/Applications/Ollama.app/Contents/Resources/"},
                               .completionLine = "Ollama", .logTag = "ollama",
                               .make = makeAdapter<OllamaManager>};
    return row;
}

OllamaManager::OllamaManager(CommandRunning& runner, const FileSystemManager& files)
    : OllamaManager(runner, files, Options{}) {}

OllamaManager::OllamaManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {"OLLAMA_MODELS", "OLLAMA_HOST"},
                       "OllamaManager") {}

bool OllamaManager::isNameSegment(std::string_view segment) {
    if (segment.empty() || segment.size() > 128 || segment.front() == '-' || segment.front() == '.') return false;
    return std::all_of(segment.begin(), segment.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

bool OllamaManager::isRegistryHost(std::string_view host) {
    const std::size_t colon = host.find(':');
    if (colon == std::string_view::npos) return isNameSegment(host);
    const std::string_view port = host.substr(colon + 1);
    return isNameSegment(host.substr(0, colon)) && !port.empty() && port.size() <= 5 &&
           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

long long OllamaManager::manifestSize(std::string_view manifest) {
    std::optional<Json> document = parseJson(manifest);
    if (!document || !document->is_object()) return 0;
    long long total = 0;
    auto layers = document->find("layers");
    if (layers == document->end() || !layers->is_array()) return 0;
    for (const Json& layer : *layers) {
        if (!layer.is_object()) continue;
        const long long size = integerField(layer, "size").value_or(0);
        if (size > 0 && total < (1ll << 60)) total += size;
    }
    return total;
}

std::vector<OllamaManager::Model> OllamaManager::readModels(const std::string& modelsRoot) {
    std::vector<Model> models;
    const std::filesystem::path manifests = std::filesystem::path(modelsRoot) / "manifests";
    for (const std::string& host : folderNames(manifests)) {
        for (const std::string& space : folderNames(manifests / host)) {
            for (const std::string& model : folderNames(manifests / host / space)) {
                for (const std::string& tag : folderNames(manifests / host / space / model)) {
                    const std::filesystem::path file = manifests / host / space / model / tag;
                    std::error_code error;
                    if (!std::filesystem::is_regular_file(file, error)) continue;
                    const auto bytes = std::filesystem::file_size(file, error);
                    if (error || bytes > kMaxManifestBytes) continue;
                    if (!isRegistryHost(host) || !isNameSegment(space) || !isNameSegment(model) ||
                        !isNameSegment(tag)) {
                        continue;
                    }
                    std::optional<std::string> digest = sha256DigestOfFile(file.string());
                    if (!digest) continue;
                    Model entry;
                    entry.host = host;
                    entry.repository = space + "/" + model;
                    entry.tag = tag;
                    entry.digest = *digest;
                    std::string name = space == "library" ? model : space + "/" + model;
                    if (host != kDefaultHost) name = host + "/" + space + "/" + model;
                    entry.name = name + ":" + tag;
                    std::string text(static_cast<std::size_t>(bytes), '\0');
                    if (FILE* handle = std::fopen(file.c_str(), "rb")) {
                        text.resize(std::fread(text.data(), 1, text.size(), handle));
                        std::fclose(handle);
                        entry.size = manifestSize(text);
                    }
                    models.push_back(std::move(entry));
                }
            }
        }
    }
    return models;
}

std::string OllamaManager::modelsRoot() const {
    const std::map<std::string, std::string> variables = environment();
    if (auto root = variables.find("OLLAMA_MODELS"); root != variables.end() && !trim(root->second).empty()) {
        return trim(root->second);
    }
    return home() + "/.ollama/models";
}

Package OllamaManager::makePackage(const Model& model) {
    Package package;
    package.name = model.name;
    package.version = model.digest;
    package.type = PackageType::OllamaModel;
    if (model.size > 0) package.size = std::to_string(model.size);
    return package;
}

std::vector<Package> OllamaManager::readInstalled(std::stop_token, std::optional<std::string>&) {
    std::vector<Package> packages;
    for (const Model& model : readModels(modelsRoot())) packages.push_back(makePackage(model));
    return packages;
}

std::vector<Package> OllamaManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    RegistryClient registry(network(), RegistryCredentials::fromFiles({}), "OllamaManager");
    std::vector<Package> outdated;
    for (const Model& model : readModels(modelsRoot())) {
        if (stop.stop_requested()) throw CancellationError();
        std::optional<std::string> digest = registry.manifestDigest(repositoryOf(model), model.tag, stop);
        if (!digest || !isContentIdentifier(*digest) || *digest == model.digest) continue;
        Package package = makePackage(model);
        package.latestVersion = *digest;
        outdated.push_back(std::move(package));
    }
    if (registry.wasUnreachable()) message = localized("ollama.registry_unreachable");
    return outdated;
}

void OllamaManager::update(const Package& package, std::stop_token stop) {
    // "model:tag", "namespace/model:tag" or "host/namespace/model:tag", each part a name.
    const std::size_t colon = package.name.rfind(':');
    const std::string path = package.name.substr(0, colon);
    const std::vector<std::string_view> parts = split(path, '/');
    bool valid = colon != std::string::npos && !parts.empty() && parts.size() <= 3 &&
                 isNameSegment(std::string_view(package.name).substr(colon + 1));
    for (std::size_t i = 0; valid && i < parts.size(); ++i) {
        // A model of another registry starts with its host, which may carry a port.
        valid = i == 0 && parts.size() == 3 ? isRegistryHost(parts[i]) : isNameSegment(parts[i]);
    }
    if (!valid) throw ContainerError::invalidReference(package.name);
    requireTool(stop);
    runUpdate({"pull", package.name}, kPullTimeout, stop, failContainer);
    std::vector<Model> models = readModels(modelsRoot());
    auto found = std::find_if(models.begin(), models.end(), [&](const Model& model) { return model.name == package.name; });
    const std::string expected = package.latestVersion.value_or("");
    if (found == models.end() || (!expected.empty() && found->digest != expected)) {
        throw ContainerError::notMoved(package.name, expected);
    }
    std::vector<Package> packages;
    for (const Model& model : models) packages.push_back(makePackage(model));
    publishPackages(std::move(packages));
}

}  // namespace vt
