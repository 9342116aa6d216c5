#pragma once

#include <string>
#include <vector>

namespace vt {

// Shown as a banner when many update checks of a scan failed while a network filter is active.
struct NetworkFilterWarning {
    std::vector<std::string> filterNames;
    int failedCount = 0;
    int totalChecked = 0;

    friend bool operator==(const NetworkFilterWarning&, const NetworkFilterWarning&) = default;
};

}  // namespace vt
