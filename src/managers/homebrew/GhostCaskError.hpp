#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// A Caskroom folder that brew itself does not count as installed: upgrading it fails
// with "is not installed" even under its fully-qualified name.
class GhostCaskError : public std::runtime_error {
public:
    explicit GhostCaskError(std::string name)
        : std::runtime_error("Cask '" + name + "' is not installed (ghost Caskroom entry)"), name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }
    std::string description() const { return what(); }

private:
    std::string name_;
};

}  // namespace vt
