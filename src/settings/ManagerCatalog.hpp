#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "settings/ManagerToggleKey.hpp"

namespace vt {

// One row per source of updates: how the interface names it, which setting shows it, and
// which executables identify its tool (the first one found wins; none for application
// sources). Plain data; the adapters themselves are registered elsewhere.
struct ManagerCatalogEntry {
    std::string id;  // lower-case, hyphenated ("gh-extensions")
    std::string name;
    ManagerToggleKey settingsToggle;
    bool isCountedInDetectedManagers = false;
    bool isCountedInActiveManagers = false;
    std::vector<std::string> executables;
};

// Sorted by name, case-insensitively.
const std::vector<ManagerCatalogEntry>& managerCatalog();
const ManagerCatalogEntry* findCatalogEntry(std::string_view id);

}  // namespace vt
