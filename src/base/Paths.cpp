#include "base/Paths.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

#include "base/Platform.hpp"

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

// A relative XDG variable is to be ignored, as the XDG base directory layout says.
std::string xdgFolder(const char* variable, const char* fallback) {
    if (auto value = environmentValue(variable); value && value->front() == '/') return *value;
    return home() + fallback;
}

namespace fs = std::filesystem;

// Renames `from` to `to` when `to` is free; else, for a folder, moves each entry `to` lacks.
// Renaming within one file system is atomic: a reader sees the old place or the new one.
void moveInto(const fs::path& from, const fs::path& to, std::vector<std::string>& moved) {
    std::error_code error;
    if (!fs::exists(from, error)) return;
    fs::create_directories(to.parent_path(), error);
    if (!fs::exists(to, error)) {
        fs::rename(from, to, error);
        if (!error) {
            moved.push_back(from.string() + " -> " + to.string());
            return;
        }
        if (error != std::errc::cross_device_link) return;
        // Another file system: a copy, then the original goes only once the copy is whole.
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        if (error) {
            fs::remove_all(to, error);
            return;
        }
        fs::remove_all(from, error);
        moved.push_back(from.string() + " -> " + to.string());
        return;
    }
    if (!fs::is_directory(from, error) || !fs::is_directory(to, error)) return;  // both kept
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(from, error)) entries.push_back(entry.path());
    for (const fs::path& entry : entries) moveInto(entry, to / entry.filename(), moved);
    fs::remove(from, error);  // only when it is empty now
}

}  // namespace

std::string applicationSupportRoot() {
    if (kBuiltForMac) return home() + "/Library/Application Support";
    return xdgFolder("XDG_DATA_HOME", "/.local/share");
}

std::string supportFolder() { return applicationSupportRoot() + (kBuiltForMac ? "/Van Treel" : "/vantreel"); }

std::string configFolder() {
    if (kBuiltForMac) return home() + "/Library/Preferences";
    return xdgFolder("XDG_CONFIG_HOME", "/.config") + "/vantreel";
}

std::string settingsFile() {
    return configFolder() + (kBuiltForMac ? "/com.corvanel.Vantreel.json" : "/settings.json");
}

std::string cacheFolder() {
    if (kBuiltForMac) return home() + "/Library/Caches/com.corvanel.Vantreel";
    return xdgFolder("XDG_CACHE_HOME", "/.cache") + "/vantreel";
}

std::string logFile() {
    // A Mac application's log stays with its other files, where the support tools look.
    if (kBuiltForMac) return supportFolder() + "/Logs/vantreel.log";
    return xdgFolder("XDG_STATE_HOME", "/.local/state") + "/vantreel/vantreel.log";
}

std::string stateFile() {
    if (kBuiltForMac) return supportFolder() + "/state.json";
    return xdgFolder("XDG_STATE_HOME", "/.local/state") + "/vantreel/state.json";
}

std::vector<std::string> moveLegacyFiles() {
    std::vector<std::string> moved;
    if (kBuiltForMac) return moved;
    try {
        const fs::path legacyData = applicationSupportRoot() + "/Van Treel";
        // The logs first: the rest of the folder then moves whole.
        moveInto(legacyData / "Logs", fs::path(logFile()).parent_path(), moved);
        moveInto(legacyData, supportFolder(), moved);
        moveInto(configFolder() + "/com.corvanel.Vantreel.json", settingsFile(), moved);
    } catch (const std::exception&) {
        // What could not move stays where it was, and is tried again at the next start.
    }
    return moved;
}

bool ensureFolder(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && std::filesystem::is_directory(path, error);
}

}  // namespace vt::paths
