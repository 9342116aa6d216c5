#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "system/CommandRunning.hpp"

namespace vt {

// Finds the network-extension filters (firewalls, content filters) active on this Mac, which
// explain a scan where many update checks failed. Where the listing tool does not exist
// (anything but macOS) it finds none without running anything.
class NetworkFilterDetector {
public:
    static constexpr const char* kListingTool = "/usr/bin/systemextensionsctl";
    static constexpr double kListingTimeLimitSeconds = 10.0;

    struct NetworkFilter {
        std::string bundleIdentifier;
        std::string name;
        bool isActive = false;  // activated and enabled

        friend bool operator==(const NetworkFilter&, const NetworkFilter&) = default;
    };

    explicit NetworkFilterDetector(CommandRunning& runner, std::string listingTool = kListingTool);

    // The network extensions that are both activated and enabled. A tool that cannot be run
    // or whose output is not UTF-8 gives an empty list; only cancellation throws.
    std::vector<NetworkFilter> detectActiveFilters(std::stop_token stop = {}) const;
    std::vector<std::string> activeFilterNames(std::stop_token stop = {}) const;

    // Every network-extension entry of a listing, active or not, in listing order.
    static std::vector<NetworkFilter> parseListing(std::string_view output);

private:
    CommandRunning& runner_;
    std::string listingTool_;
};

}  // namespace vt
