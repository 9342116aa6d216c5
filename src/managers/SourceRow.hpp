#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/Package.hpp"
#include "settings/ManagerToggleKey.hpp"

namespace vt {

class BaseManager;
class CommandRunning;
class FileSystemManager;

// A kind of item that a setting of its own shows or hides, apart from its source's
// toggle (Homebrew's casks).
struct KindToggle {
    PackageType type;
    ManagerToggleKey toggle;
    std::string id;    // "casks"
    std::string name;  // "Homebrew Casks"
};

// Everything the program knows about one source, declared once beside its adapter: the
// registry, the first-launch defaults, `vantreel managers` and the scan pipelines read it.
struct SourceRow {
    std::string id;                        // lower-case, hyphenated ("gh-extensions")
    std::string name;                      // display name
    std::vector<std::string> executables;  // the first found wins
    std::vector<PackageType> types;        // the kinds of package it produces and updates
    std::optional<ManagerToggleKey> toggle;  // the setting that shows it; always shown when absent
    // Where the tool's own installer puts it, beyond the shared folders ("~/" is the home).
    std::vector<std::string> folders;
    bool isCore = false;                   // core scan (Homebrew, npm, pip) or extended pipeline
    std::string completionLine;            // the name the inventory's log line gives ("NPM")
    std::string logTag;                    // "[npm] 1.2s"
    std::chrono::seconds timeout{180};     // the pipeline's own time limit
    std::vector<KindToggle> kindToggles;
    std::function<std::unique_ptr<BaseManager>(CommandRunning&, const FileSystemManager&)> make;

    // The setting that shows items of this kind: its own, else the source's.
    std::optional<ManagerToggleKey> toggleFor(PackageType type) const {
        for (const KindToggle& kind : kindToggles) {
            if (kind.type == type) return kind.toggle;
        }
        return toggle;
    }
};

// The factory of a row: the adapter with its default options.
template <typename Adapter>
std::unique_ptr<BaseManager> makeAdapter(CommandRunning& runner, const FileSystemManager& files) {
    return std::make_unique<Adapter>(runner, files);
}

}  // namespace vt
