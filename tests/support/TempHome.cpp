#include "support/TempHome.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vt::testing {

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* home = std::getenv("HOME")) {
        hadHome_ = true;
        previousHome_ = home;
    }
    ::setenv("HOME", path_.c_str(), 1);
    for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
        ::unsetenv(variable);
    }
}

TempHome::~TempHome() {
    if (hadHome_) {
        ::setenv("HOME", previousHome_.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

}  // namespace vt::testing
