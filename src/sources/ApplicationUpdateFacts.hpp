#pragma once

#include <optional>
#include <string>

#include "model/Application.hpp"
#include "sources/QuickUpdateEligibility.hpp"

namespace vt {

// What is true of an outdated application when an update of it is planned, beyond its
// saved record: read from the bundle, the process table, the known-issues registry and the
// rule catalog at that moment.
struct ApplicationUpdateFacts {
    QuickUpdateFacts quick;
    // The store installed it (a receipt, or the store's wrapper of an iPhone app): only then
    // may `mas` update it.
    bool installedFromAppStore = false;
    // A rule says it is never updated automatically.
    bool manualOnly = false;
};

// The facts of one application now. Never throws; what cannot be read is left unknown.
ApplicationUpdateFacts currentUpdateFacts(const Application& application);

}  // namespace vt
