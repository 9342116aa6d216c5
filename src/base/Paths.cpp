#include "base/Paths.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

namespace vt::paths {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string home() {
    if (auto value = environmentValue("HOME")) return *value;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

namespace {

#if defined(__APPLE__)
constexpr bool kIsMac = true;
#else
constexpr bool kIsMac = false;
#endif

std::string xdgFolder(const char* variable, const char* fallback) {
    if (auto value = environmentValue(variable); value && value->front() == '/') return *value;
    return home() + fallback;
}

}  // namespace

std::string applicationSupportRoot() {
    if (kIsMac) return home() + "/Library/Application Support";
    return xdgFolder("XDG_DATA_HOME", "/.local/share");
}

std::string supportFolder() { return applicationSupportRoot() + "/Van Treel"; }

std::string configFolder() {
    if (kIsMac) return home() + "/Library/Preferences";
    return xdgFolder("XDG_CONFIG_HOME", "/.config") + "/vantreel";
}

std::string cacheFolder() {
    if (kIsMac) return home() + "/Library/Caches/com.corvanel.Vantreel";
    return xdgFolder("XDG_CACHE_HOME", "/.cache") + "/vantreel";
}

std::string logFile() { return supportFolder() + "/Logs/vantreel.log"; }

bool ensureFolder(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && std::filesystem::is_directory(path, error);
}

}  // namespace vt::paths
