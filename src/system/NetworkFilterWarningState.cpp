#include "system/NetworkFilterWarningState.hpp"

#include "base/Log.hpp"
#include "base/Strings.hpp"

namespace vt {

void NetworkFilterWarningState::update(int failedCount, int attemptedCount,
                                       const FilterNamesProvider& activeFilterNames) {
    // failed / attempted > 0.3, in integers so that exactly 3 out of 10 stays below.
    bool manyFailed = attemptedCount > 0 && failedCount * 10 > attemptedCount * 3;
    std::vector<std::string> names;
    if (manyFailed) names = activeFilterNames();
    if (names.empty()) {
        std::scoped_lock lock(mutex_);
        warning_.reset();
        return;
    }
    NetworkFilterWarning warning{std::move(names), failedCount, attemptedCount};
    std::string line = logLine(warning);
    {
        std::scoped_lock lock(mutex_);
        warning_ = std::move(warning);
        dismissed_ = false;
    }
    Logger("NetworkFilterWarning").warning(line);
}

void NetworkFilterWarningState::dismiss() {
    std::scoped_lock lock(mutex_);
    dismissed_ = true;
}

std::optional<NetworkFilterWarning> NetworkFilterWarningState::warning() const {
    std::scoped_lock lock(mutex_);
    return warning_;
}

bool NetworkFilterWarningState::isDismissed() const {
    std::scoped_lock lock(mutex_);
    return dismissed_;
}

std::string NetworkFilterWarningState::logLine(const NetworkFilterWarning& warning) {
    return "⚠️ Network filter warning: " + join(warning.filterNames, ", ") + " — " +
           std::to_string(warning.failedCount) + " failures out of " + std::to_string(warning.totalChecked) +
           " checked";
}

}  // namespace vt
