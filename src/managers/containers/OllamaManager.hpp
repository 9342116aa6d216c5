#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for Ollama's models. The installed models are read from the manifests folder
// itself (MODELS/manifests/HOST/NAMESPACE/MODEL/TAG, the models root being $OLLAMA_MODELS or
// ~/.ollama/models), so no server needs to run for a scan. A model's version is the digest of
// its manifest file, as the registry names it; the registry of its folder (Ollama's own for
// the default host) is asked for the current manifest of the same name and tag, and another
// digest is offered. The update is `ollama pull NAME`; Ollama cannot pull a digest, so the
// manifest is read again afterwards and the update fails when it is not the one shown.
// Thread-safe; no lock held while a tool runs.
class OllamaManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kPullTimeout = 3600;
    // A manifest is a few hundred bytes; a larger file is not one.
    static constexpr std::size_t kMaxManifestBytes = 1 << 20;

    struct Model {
        std::string name;    // "llama3:latest", "user/model:7b", "hf.co/org/repo:Q4"
        std::string host;    // the manifests folder's host ("registry.ollama.ai")
        std::string repository;  // "library/llama3"
        std::string tag;
        std::string digest;  // of the manifest file
        long long size = 0;  // of its layers, from the manifest

        friend bool operator==(const Model&, const Model&) = default;
    };

    OllamaManager(CommandRunning& runner, const FileSystemManager& files);
    OllamaManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // Every model under a models root; unreadable or oversized manifests are skipped.
    static std::vector<Model> readModels(const std::string& modelsRoot);
    // The sum of the layer sizes a manifest lists; 0 when it lists none it can read.
    static long long manifestSize(std::string_view manifest);
    // A path segment of a model name: letters, digits, ".", "_", "-", not starting with "-" or ".".
    static bool isNameSegment(std::string_view segment);
    // A manifests folder's host: a name segment, with a port or not ("127.0.0.1:11500").
    static bool isRegistryHost(std::string_view host);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::string modelsRoot() const;
    static Package makePackage(const Model& model);
};

}  // namespace vt
