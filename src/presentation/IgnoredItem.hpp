#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "model/PackageType.hpp"

namespace vt {

enum class IgnoredAIItemKind { Plugin, Marketplace, Skill };

// One line of the list of everything taken out of the update lists, whatever the mechanism.
struct IgnoredItem {
    struct Status {
        enum class Kind { VersionIgnored, Snoozed, ExtensionIgnored, AutoDeferred, UnknownMechanism, AppIgnored };
        Kind kind = Kind::UnknownMechanism;
        std::string detail;                    // the version, the extension id or the reason
        std::optional<Clock::TimePoint> until;  // a snooze's end; absent when indefinite
    };

    std::string id;
    std::string name;
    std::string version;
    Status status;
    std::string source;
    std::string icon;
    std::optional<std::string> bundlePath, bundleIdentifier, packageIdentifier;
    std::optional<PackageType> packageType;
    std::optional<std::string> extensionId, appleToolIdentifier, aiIdentifier;
    std::optional<IgnoredAIItemKind> aiKind;
    std::optional<std::string> settingsIdentifier;  // the key it is stored under
    std::vector<std::string> legacySettingsIdentifiers;
};

// "appIgnored", "snoozed"... the JSON form of a status.
std::string statusName(IgnoredItem::Status::Kind kind);
// The status as the user reads it.
std::string statusLabel(const IgnoredItem::Status& status);

}  // namespace vt
