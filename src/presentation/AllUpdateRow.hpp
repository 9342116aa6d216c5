#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "model/ReleaseAge.hpp"
#include "model/PackageType.hpp"
#include "settings/ManagerToggleKey.hpp"

namespace vt {

// One row of the all-updates table: an item with an update (or, for a full listing, any
// item), whatever its source. A plain value; `id` is unique in a model and is the key the
// ignore mechanisms store; `shortId` is what people type and scripts pass, and the command
// line's verbs accept either.
struct AllUpdateRow {
    enum class Kind {
        Package,
        Application,
        Discover,
        Software,
        AppleTool,
        AiPlugin,
        AiMarketplace,
        AiSkill,
        AiClaudeBinary,
        Adoptable,
    };

    std::string id;
    std::string lookupID;  // the key of the item in AllUpdatesLookupCache
    // The source and the item, with no space and no character a shell treats specially, so
    // that it is typed or pasted unquoted: "npm:corepack", "apt:libc6", "app:com.example.editor".
    std::string shortId;
    std::string sourceId;  // the scanner that found the item ("npm", "homebrew", "apps")
    Kind kind = Kind::Package;
    std::string name;
    std::string currentVersion;
    std::optional<std::string> latestVersion;
    std::string source;  // the label of the source column
    std::optional<std::string> subtitle;
    std::string icon;  // a system symbol name
    std::optional<std::string> bundlePath;

    // What the pipeline decides on, filled by the builder.
    bool hasUpdate = true;
    std::optional<ManagerToggleKey> toggle;  // the setting that shows the row; always shown when absent
    std::optional<PackageType> packageType;
    std::string bundleIdentifier;         // applications; empty otherwise
    std::optional<std::string> caskToken;  // a Homebrew cask, or the cask an application came from
    std::optional<Clock::TimePoint> releaseDate;
    std::optional<std::string> downloadURL;
    bool requiresManualInstaller = false;
    bool isSecurityUpdate = false;  // the pending version comes from a security archive
    bool isPinned = false;
    std::optional<ReleaseAgeDecision> releaseAge;  // packages whose source was guarded
    // Known vulnerabilities the update removes, and those the offered version still has (ids).
    std::vector<std::string> fixedVulnerabilities;
    std::vector<std::string> offeredVulnerabilities;

    bool fixesVulnerabilities() const { return hasUpdate && !fixedVulnerabilities.empty(); }
    bool provenanceLost = false;  // the installed version had registry attestations, the offered one has none
};

// What a row's action does.
struct AllUpdateRowActionState {
    bool isUpdateable = false;
    bool isManualPackage = false;
    bool isManualApplication = false;
    std::optional<std::string> terminalCommand;
    std::optional<std::string> manualDownloadURL;
    std::optional<std::string> completedDownloadFile;
    bool manualInFlight = false;
    std::optional<double> manualProgress;
    std::optional<std::string> buttonLabel;
};

struct AllUpdateRowError {
    std::string message;
};

// "package", "application", "discover"... the JSON form of a kind.
std::string_view rawValue(AllUpdateRow::Kind kind);

// "prefix:rest" in lower case, each character a shell would read specially (a space, a
// quote, "$", "*", "(", "&", ...) replaced by "-".
std::string shellSafeId(std::string_view prefix, std::string_view rest);

}  // namespace vt
