#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/NetworkFilterWarning.hpp"

namespace vt {

// The network-filter banner as the coordinator holds it: the warning, if any, and whether the
// user dismissed it. Safe to use from any thread.
class NetworkFilterWarningState {
public:
    using FilterNamesProvider = std::function<std::vector<std::string>()>;

    // Run once after the application checks of a scan, with the failed checks and the checks
    // actually attempted (total minus skipped). Above a failure ratio of 0.3 it asks for the
    // active filters (outside the lock: that runs a tool); with any, it raises the warning
    // again even if the last one was dismissed, and logs it. Otherwise the warning is cleared.
    void update(int failedCount, int attemptedCount, const FilterNamesProvider& activeFilterNames);
    void dismiss();

    std::optional<NetworkFilterWarning> warning() const;
    bool isDismissed() const;

    // "⚠️ Network filter warning: A, B — 4 failures out of 10 checked"
    static std::string logLine(const NetworkFilterWarning& warning);

private:
    mutable std::mutex mutex_;
    std::optional<NetworkFilterWarning> warning_;
    bool dismissed_ = false;
};

}  // namespace vt
