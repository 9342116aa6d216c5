#pragma once

#include <optional>
#include <string>

namespace vt {

// Where this program keeps its files. Everything derives from the home folder, so a
// test that points HOME at a temporary folder gets a sandbox of its own.
namespace paths {

// $HOME when set and non-empty, else the password database's entry for this user.
std::string home();

// The platform's per-user data root: ~/Library/Application Support on macOS,
// $XDG_DATA_HOME (else ~/.local/share) elsewhere.
std::string applicationSupportRoot();
// Our folder inside it: root + "/Van Treel".
std::string supportFolder();
// Preferences (the defaults store): ~/Library/Preferences on macOS,
// $XDG_CONFIG_HOME (else ~/.config) + "/vantreel" elsewhere.
std::string configFolder();
// Disposable caches: ~/Library/Caches/com.corvanel.Vantreel on macOS,
// $XDG_CACHE_HOME (else ~/.cache) + "/vantreel" elsewhere.
std::string cacheFolder();
std::string logFile();

// The value of an environment variable when set and non-empty.
std::optional<std::string> environmentValue(const char* name);

// Creates the folder and its parents; false when that failed.
bool ensureFolder(const std::string& path);

}  // namespace paths

inline constexpr const char* kApplicationIdentifier = "com.corvanel.Vantreel";
inline constexpr const char* kProductName = "Van Treel";

}  // namespace vt
