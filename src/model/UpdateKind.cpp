#include "model/UpdateKind.hpp"

#include <algorithm>
#include <cstdint>

#include "model/VersionRules.hpp"

namespace vt {

namespace {

// The epoch of a Debian version ("1" of "1:2.66-4"), empty when it has none.
std::string_view debianEpoch(std::string_view version) {
    const std::size_t colon = version.find(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    const std::string_view epoch = version.substr(0, colon);
    return std::all_of(epoch.begin(), epoch.end(), [](char c) { return c >= '0' && c <= '9'; }) ? epoch
                                                                                                 : std::string_view{};
}

std::string_view withoutEpoch(std::string_view version) {
    const std::string_view epoch = debianEpoch(version);
    return epoch.empty() ? version : version.substr(epoch.size() + 1);
}

// "nightly" parses as 0 with a suffix: only a version that starts with its number has a size.
bool startsWithNumber(std::string_view version) {
    if (!version.empty() && (version.front() == 'v' || version.front() == 'V')) version.remove_prefix(1);
    return !version.empty() && version.front() >= '0' && version.front() <= '9';
}

}  // namespace

UpdateKind classifyUpdate(std::string_view installed, std::string_view latest, bool isSecurity, bool debianVersions) {
    if (isSecurity) return UpdateKind::Security;
    if (latest == kUpdateAvailableSentinel) return UpdateKind::Other;
    if (debianVersions) {
        if (debianEpoch(installed) != debianEpoch(latest)) return UpdateKind::Other;
        installed = withoutEpoch(installed);
        latest = withoutEpoch(latest);
    }
    if (!startsWithNumber(installed) || !startsWithNumber(latest)) return UpdateKind::Other;
    const ParsedVersion from = parseVersion(installed);
    const ParsedVersion to = parseVersion(latest);
    if (from.components.empty() || to.components.empty()) return UpdateKind::Other;
    const std::size_t length = std::max(from.components.size(), to.components.size());
    auto component = [](const ParsedVersion& version, std::size_t index) -> std::int64_t {
        return index < version.components.size() ? version.components[index] : 0;
    };
    for (std::size_t i = 0; i < length; ++i) {
        if (component(from, i) == component(to, i)) continue;
        if (i == 0) return UpdateKind::Major;
        if (i == 1) return component(from, 0) == 0 ? UpdateKind::Major : UpdateKind::Minor;
        return UpdateKind::Patch;
    }
    return UpdateKind::Other;
}

std::string_view rawValue(UpdateKind kind) {
    switch (kind) {
        case UpdateKind::Security: return "security";
        case UpdateKind::Major: return "major";
        case UpdateKind::Minor: return "minor";
        case UpdateKind::Patch: return "patch";
        case UpdateKind::Other: break;
    }
    return "other";
}

}  // namespace vt
