#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vt::testing {

// Sets (or, given no value, removes) a variable of this process's environment for the
// lifetime of the object; the previous state comes back afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        if (value != nullptr) {
            ::setenv(name_.c_str(), value, 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ~ScopedEnvironment() {
        if (previous_) {
            ::setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// HOME set to `home` for the lifetime of the object, and the XDG folders left out so that
// every folder the program finds is under it; all come back afterwards.
class ScopedHome {
public:
    explicit ScopedHome(const std::string& home) : home_("HOME", home.c_str()) {}

private:
    ScopedEnvironment home_;
    ScopedEnvironment data_{"XDG_DATA_HOME", nullptr};
    ScopedEnvironment config_{"XDG_CONFIG_HOME", nullptr};
    ScopedEnvironment cache_{"XDG_CACHE_HOME", nullptr};
    ScopedEnvironment state_{"XDG_STATE_HOME", nullptr};
};

}  // namespace vt::testing
