#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// The conda adapter's own failures, each with the localized text of its "error.conda.*" key.
class CondaError : public std::runtime_error {
public:
    enum class Kind {
        BinaryNotDetected,  // no conda, mamba or micromamba
        NoEnvironment,      // the package names no environment that exists
        NoJsonPayload,      // conda printed no JSON where it was asked for some
        CommandFailed,      // conda exited with an error
    };

    static CondaError binaryNotDetected();
    static CondaError noEnvironment(const std::string& packageName);
    static CondaError noJsonPayload();
    static CondaError commandFailed(const std::string& detail);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    CondaError(Kind kind, const std::string& description);
    Kind kind_;
};

}  // namespace vt
