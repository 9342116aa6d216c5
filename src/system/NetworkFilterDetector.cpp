#include "system/NetworkFilterDetector.hpp"

#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// An entry line reads, tab-separated:
//   "*	*	TEAMID	com.vendor.filter (1.2.3/45)	Vendor Filter	[activated enabled]"
// The bundle identifier is the word before the parenthesised version, the name is what lies
// between the version and the bracketed state.
std::optional<NetworkFilterDetector::NetworkFilter> parseEntry(std::string_view line) {
    std::size_t state = line.rfind('[');
    if (state == std::string_view::npos) return std::nullopt;
    std::size_t open = line.rfind('(', state);
    if (open == std::string_view::npos) return std::nullopt;
    std::size_t close = line.find(')', open);
    if (close == std::string_view::npos || close > state) return std::nullopt;

    std::string_view before = trimView(line.substr(0, open));
    std::size_t wordStart = before.size();
    while (wordStart > 0 && !isBlank(before[wordStart - 1])) --wordStart;
    NetworkFilterDetector::NetworkFilter filter;
    filter.bundleIdentifier = trim(before.substr(wordStart));
    filter.name = trim(line.substr(close + 1, state - close - 1));
    filter.isActive = contains(line.substr(state), "[activated enabled]");
    // Identifiers are reverse-DNS; the column header's "bundleID (version)" is not one.
    if (!contains(filter.bundleIdentifier, ".")) return std::nullopt;
    return filter;
}

}  // namespace

NetworkFilterDetector::NetworkFilterDetector(CommandRunning& runner, std::string listingTool)
    : runner_(runner), listingTool_(std::move(listingTool)) {}

std::vector<NetworkFilterDetector::NetworkFilter> NetworkFilterDetector::parseListing(std::string_view output) {
    std::vector<NetworkFilter> filters;
    bool inNetworkSection = false;
    for (std::string_view line : splitLines(output)) {
        if (startsWith(line, "---")) {
            inNetworkSection = contains(line, "network_extension");
            continue;
        }
        if (!inNetworkSection && !contains(line, "network_extension")) continue;
        if (auto filter = parseEntry(line)) filters.push_back(std::move(*filter));
    }
    return filters;
}

std::vector<NetworkFilterDetector::NetworkFilter> NetworkFilterDetector::detectActiveFilters(
    std::stop_token stop) const {
    static const Logger log("NetworkFilterDetector");
    if (::access(listingTool_.c_str(), X_OK) != 0) return {};
    CommandRequest request;
    request.command = listingTool_;
    request.arguments = {"list"};
    request.timeout = kListingTimeLimitSeconds;
    request.allowNonZeroExit = true;
    ShellCommandResult result;
    try {
        result = runner_.execute(request, std::move(stop));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        log.warning(std::string("systemextensionsctl could not be run: ") + error.what());
        return {};
    }
    if (sanitizeUtf8(result.standardOutput) != result.standardOutput) return {};
    std::vector<NetworkFilter> active;
    for (NetworkFilter& filter : parseListing(result.standardOutput)) {
        if (filter.isActive) active.push_back(std::move(filter));
    }
    return active;
}

std::vector<std::string> NetworkFilterDetector::activeFilterNames(std::stop_token stop) const {
    std::vector<std::string> names;
    for (NetworkFilter& filter : detectActiveFilters(std::move(stop))) names.push_back(std::move(filter.name));
    return names;
}

}  // namespace vt
