#include "sources/SourceSettings.hpp"

#include "settings/SettingsManager.hpp"

namespace vt {

namespace {

constexpr AppRulePrimarySource kAllSources[] = {
    AppRulePrimarySource::MacAppStore,    AppRulePrimarySource::Sparkle,  AppRulePrimarySource::HomebrewCask,
    AppRulePrimarySource::GitHub,         AppRulePrimarySource::Electron, AppRulePrimarySource::GenericUpdater,
    AppRulePrimarySource::DirectDownload, AppRulePrimarySource::Manual,
};

}  // namespace

SourceSettings SourceSettings::fromSettings(const SettingsManager& settings) {
    SourceSettings result;
    for (AppRulePrimarySource source : kAllSources) {
        if (auto key = settingsKey(source)) result.setEnabled(source, settings.boolValue(*key));
    }
    return result;
}

bool SourceSettings::isEnabled(AppRulePrimarySource source) const { return !disabled_.contains(source); }

void SourceSettings::setEnabled(AppRulePrimarySource source, bool enabled) {
    if (enabled) {
        disabled_.erase(source);
    } else {
        disabled_[source] = true;
    }
}

std::optional<AppRulePrimarySource> SourceSettings::sourceOf(UpdateMechanism mechanism) {
    switch (mechanism) {
        case UpdateMechanism::MacAppStore: return AppRulePrimarySource::MacAppStore;
        case UpdateMechanism::Sparkle: return AppRulePrimarySource::Sparkle;
        case UpdateMechanism::HomebrewCask:
        case UpdateMechanism::CaskReference: return AppRulePrimarySource::HomebrewCask;
        case UpdateMechanism::DirectDownload: return AppRulePrimarySource::DirectDownload;
        case UpdateMechanism::Unknown: return std::nullopt;
    }
    return std::nullopt;
}

bool SourceSettings::allows(UpdateMechanism mechanism, std::optional<AppRulePrimarySource> resolution) const {
    if (auto source = sourceOf(mechanism); source && !isEnabled(*source)) return false;
    return !resolution || isEnabled(*resolution);
}

std::optional<std::string_view> SourceSettings::settingsKey(AppRulePrimarySource source) {
    switch (source) {
        case AppRulePrimarySource::MacAppStore: return "AppSource_MacAppStore";
        case AppRulePrimarySource::Sparkle: return "AppSource_Sparkle";
        case AppRulePrimarySource::HomebrewCask: return "AppSource_HomebrewCask";
        case AppRulePrimarySource::GitHub: return "AppSource_GitHub";
        case AppRulePrimarySource::Electron: return "AppSource_Electron";
        case AppRulePrimarySource::GenericUpdater: return "AppSource_GenericUpdater";
        case AppRulePrimarySource::DirectDownload: return "AppSource_DirectDownload";
        case AppRulePrimarySource::Manual: return std::nullopt;  // the user's own rules always apply
    }
    return std::nullopt;
}

}  // namespace vt
