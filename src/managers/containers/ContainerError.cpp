#include "managers/containers/ContainerError.hpp"

#include "base/Localization.hpp"

namespace vt {

ContainerError ContainerError::engineMissing(const std::string& engine) {
    return ContainerError(Kind::EngineMissing, localized("container.engine_missing", {engine}));
}

ContainerError ContainerError::invalidReference(const std::string& name) {
    return ContainerError(Kind::InvalidReference, localized("container.invalid_reference", {name}));
}

ContainerError ContainerError::nothingToPull(const std::string& name) {
    return ContainerError(Kind::NothingToPull, localized("container.nothing_to_pull", {name}));
}

ContainerError ContainerError::commandFailed(const std::string& output) {
    return ContainerError(Kind::CommandFailed, localized("container.command_failed", {output}));
}

ContainerError ContainerError::notMoved(const std::string& name, const std::string& digest) {
    return ContainerError(Kind::NotMoved, localized("container.not_moved", {name, digest}));
}

void failContainer(const std::string& output) { throw ContainerError::commandFailed(output); }

}  // namespace vt
