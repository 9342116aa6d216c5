#pragma once

#include <initializer_list>
#include <map>
#include <string>

#include "base/Paths.hpp"

namespace vt {

// The variables by which a user relocates a tool's own folders (CARGO_HOME, GOPATH, GEM_HOME,
// COMPOSER_HOME...). Children otherwise get only the base environment, and without these a
// tool would list another home than the one the user's shell sees. `extra` (the adapter's
// options, tests' sandboxes) wins.
inline std::map<std::string, std::string> toolEnvironment(std::initializer_list<const char*> names,
                                                          const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> environment;
    for (const char* name : names) {
        if (auto value = paths::environmentValue(name); value && !value->empty()) environment[name] = *value;
    }
    for (const auto& [name, value] : extra) environment[name] = value;
    return environment;
}

}  // namespace vt
