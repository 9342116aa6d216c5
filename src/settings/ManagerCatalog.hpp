#pragma once

#include <string>
#include <vector>

#include "settings/ManagerToggleKey.hpp"

namespace vt {

// Sources this build cannot scan yet, kept only for their visibility settings: the tool or
// application whose presence gives the setting its first-launch value. A source that is
// built is declared by its own registration row instead.
struct ManagerCatalogEntry {
    std::string id;  // lower-case, hyphenated ("gh-extensions")
    ManagerToggleKey settingsToggle;
    std::vector<std::string> executables;  // the first found wins
    std::string application;               // an editor's application bundle name, "" for a tool
};

const std::vector<ManagerCatalogEntry>& managerCatalog();

}  // namespace vt
