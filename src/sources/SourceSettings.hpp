#pragma once

#include <map>
#include <optional>
#include <string_view>

#include "model/Application.hpp"

namespace vt {

class SettingsManager;

// Which application update sources may resolve an application or answer from the cache.
// A plain value: read once per check run, so a setting changed mid-run applies to the next.
class SourceSettings {
public:
    // Every source enabled.
    SourceSettings() = default;
    // The "AppSource_…" keys of the settings store.
    static SourceSettings fromSettings(const SettingsManager& settings);

    bool isEnabled(AppRulePrimarySource source) const;
    void setEnabled(AppRulePrimarySource source, bool enabled);

    // The source a mechanism's results come from: nullopt for `unknown`, which no source owns.
    static std::optional<AppRulePrimarySource> sourceOf(UpdateMechanism mechanism);
    // Whether a result with this mechanism and resolution may be used: the mechanism's source
    // and the resolving source (a GitHub release delivered as a direct download) are both on.
    bool allows(UpdateMechanism mechanism, std::optional<AppRulePrimarySource> resolution) const;

    // The settings key of a source ("AppSource_Sparkle"); manual rules have none.
    static std::optional<std::string_view> settingsKey(AppRulePrimarySource source);

private:
    std::map<AppRulePrimarySource, bool> disabled_;  // only the sources turned off
};

}  // namespace vt
