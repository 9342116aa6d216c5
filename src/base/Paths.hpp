#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vt {

// Where this program keeps its files. Everything derives from the home folder, so a
// test that points HOME at a temporary folder gets a sandbox of its own.
//
// On Linux the XDG layout, in lower case: $XDG_CONFIG_HOME/vantreel (settings),
// $XDG_DATA_HOME/vantreel (scan results, rules, reports), $XDG_CACHE_HOME/vantreel (caches)
// and $XDG_STATE_HOME/vantreel (logs). On macOS the folders of the Library a Mac
// application uses.
namespace paths {

// $HOME when set and non-empty, else the password database's entry for this user.
std::string home();

// The platform's per-user data root: ~/Library/Application Support on macOS,
// $XDG_DATA_HOME (else ~/.local/share) elsewhere.
std::string applicationSupportRoot();
// Our folder inside it: "Van Treel" on macOS, "vantreel" elsewhere.
std::string supportFolder();
// Preferences (the defaults store): ~/Library/Preferences on macOS,
// $XDG_CONFIG_HOME (else ~/.config) + "/vantreel" elsewhere.
std::string configFolder();
// The defaults store's file: "com.corvanel.Vantreel.json" on macOS, "settings.json" elsewhere.
std::string settingsFile();
// Disposable caches: ~/Library/Caches/com.corvanel.Vantreel on macOS,
// $XDG_CACHE_HOME (else ~/.cache) + "/vantreel" elsewhere.
std::string cacheFolder();
// The log: in the support folder's "Logs" on macOS, $XDG_STATE_HOME (else ~/.local/state)
// + "/vantreel" elsewhere.
std::string logFile();
// What the program notes for itself between runs (when it last scanned, its recent activity):
// the support folder's "state.json" on macOS, $XDG_STATE_HOME (else ~/.local/state) +
// "/vantreel/state.json" elsewhere.
std::string stateFile();

// Moves the files of an installation from before the XDG layout (~/.local/share/Van Treel,
// ~/.config/vantreel/com.corvanel.Vantreel.json) to their places, once: a folder or file
// is renamed whole when its new place is free, else each entry the new place lacks is
// moved and the rest is left where it was. Nothing on macOS. Returns what was moved, for
// the log; never throws.
std::vector<std::string> moveLegacyFiles();

// The value of an environment variable when set and non-empty.
std::optional<std::string> environmentValue(const char* name);

// Creates the folder and its parents; false when that failed.
bool ensureFolder(const std::string& path);

}  // namespace paths

inline constexpr const char* kApplicationIdentifier = "com.corvanel.Vantreel";
inline constexpr const char* kProductName = "Van Treel";

}  // namespace vt
