#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "presentation/AllUpdateRow.hpp"

namespace vt {

// What changes while an update runs: the rows kept on screen, the rows in progress, done
// or failed. Owned by whoever runs updates; the pipeline reads it. Not thread-safe: one
// thread (the one that shows the table) reads and writes it.
struct AllUpdatesRuntimeState {
    bool isUpdateRunning = false;
    std::vector<AllUpdateRow> frozenRows;  // shown instead of the built rows while an update runs
    int frozenUpdateCount = 0;
    std::set<std::string> updatingRowIDs;
    std::optional<std::string> activeRowID;
    std::set<std::string> recentlyUpdatedRowIDs;
    std::set<std::string> hiddenUntilRescanRowIDs;
    std::map<std::string, std::string> failedRowMessages;
    std::map<std::string, double> rowProgress;
    bool isDownloadAllRunning = false;
    std::optional<int> visibleUpdateRowCount;
    std::optional<int> visibleDiscoverRowCount;
    // Goes up with every change above; part of the model's signal.
    std::uint64_t updateGeneration = 0;
};

}  // namespace vt
