#include "presentation/SkippedVersionStore.hpp"

#include "base/Strings.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

std::map<std::string, std::string> SkippedVersionStore::all() const { return settings_.skippedVersions(); }

void SkippedVersionStore::skip(const std::string& itemId, const std::string& version) {
    std::map<std::string, std::string> skipped = all();
    skipped[itemId] = trim(version);
    settings_.setSkippedVersions(skipped);
}

bool SkippedVersionStore::clear(const std::string& itemId) {
    std::map<std::string, std::string> skipped = all();
    if (skipped.erase(itemId) == 0) return false;
    settings_.setSkippedVersions(skipped);
    return true;
}

bool SkippedVersionStore::hides(const std::map<std::string, std::string>& skipped, const std::string& itemId,
                                const std::optional<std::string>& latestVersion) {
    if (!latestVersion) return false;
    auto found = skipped.find(itemId);
    return found != skipped.end() && found->second == trimView(*latestVersion);
}

}  // namespace vt
