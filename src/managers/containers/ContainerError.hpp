#pragma once

#include <string>

#include "managers/AdapterError.hpp"

namespace vt {

enum class ContainerErrorKind {
    EngineMissing,     // neither the engine that listed the image nor any other is here
    InvalidReference,  // a name, tag or digest outside the reference grammar; never run
    NothingToPull,     // the row names no digest the registry offered
    CommandFailed,     // the engine's pull or tag failed
    NotMoved,          // the pull succeeded, the tag does not hold the digest offered
};

// The update failures of container images and Ollama models; each description is the whole
// text shown.
class ContainerError : public AdapterError<ContainerErrorKind> {
public:
    static ContainerError engineMissing(const std::string& engine);
    static ContainerError invalidReference(const std::string& name);
    static ContainerError nothingToPull(const std::string& name);
    static ContainerError commandFailed(const std::string& output);
    static ContainerError notMoved(const std::string& name, const std::string& digest);

private:
    using AdapterError::AdapterError;
};

// Throws commandFailed with the tool's words (for ToolchainManager::runUpdate).
[[noreturn]] void failContainer(const std::string& output);

}  // namespace vt
