#pragma once

#include <stop_token>
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
// After a scan: searches again and saves the list, unless Homebrew is absent or an adoption
// is running in some process (then the saved list stays). Never throws.
void refreshAdoptableApps(std::stop_token stop = {});

// The list the last search saved, for the table.
std::vector<AdoptableApp> savedAdoptableApps();

}  // namespace vt::cli
