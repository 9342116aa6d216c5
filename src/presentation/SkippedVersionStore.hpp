#pragma once

#include <map>
#include <optional>
#include <string>

namespace vt {

class SettingsManager;

// Versions the user skipped, item id to version, in the settings' "SkippedVersions". A skip
// hides exactly that latest version: a newer one shows the item again.
class SkippedVersionStore {
public:
    explicit SkippedVersionStore(SettingsManager& settings) : settings_(settings) {}

    std::map<std::string, std::string> all() const;
    void skip(const std::string& itemId, const std::string& version);  // one write
    bool clear(const std::string& itemId);                              // one write when present
    static bool hides(const std::map<std::string, std::string>& skipped, const std::string& itemId,
                      const std::optional<std::string>& latestVersion);

private:
    SettingsManager& settings_;
};

}  // namespace vt
