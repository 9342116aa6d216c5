#pragma once

#include <vector>

#include "updates/BatchUpdateResult.hpp"

namespace vt::cli {

// Failures feed the auto-deferral rules; a success clears an item's history. Shared by
// `update ITEM...` and `update --all`.
void recordOutcomes(const std::vector<PackageUpdateResult>& results);

}  // namespace vt::cli
