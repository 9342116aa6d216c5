#pragma once

#include <vector>

#include "core/ScanResultsPersistence.hpp"
#include "updates/HomebrewAdoption.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel adopt --list [--json] | ID... | --all | --exclude ID | --include ID`: hands
// hand-installed applications over to Homebrew.
void addAdoptCommand(CLI::App& app, int* exitCode);

// The adoptable list as "adoptable_apps.json" keeps it, and back (an entry whose kinds are
// unknown keeps the weakest meaning).
PersistedAdoptableApp persistedForm(const AdoptableApp& app);
AdoptableApp adoptableFrom(const PersistedAdoptableApp& saved);
// The list the last search saved, for the table.
std::vector<AdoptableApp> savedAdoptableApps();

}  // namespace vt::cli
