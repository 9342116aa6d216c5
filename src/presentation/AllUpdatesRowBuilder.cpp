#include "presentation/AllUpdatesRowBuilder.hpp"

#include <unordered_map>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "model/PendingUpdate.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

struct FixedLabel {
    PackageType type;
    const char* label;
    std::optional<ManagerToggleKey> toggle;
};

// The table names these managers its own way; the setting is the one that shows the
// manager when no registration of this build says otherwise.
const FixedLabel kFixedLabels[] = {
    {PackageType::PnpmGlobal, "PNPM", ManagerToggleKey::ShowPnpm},
    {PackageType::PipxPackage, "Pipx", ManagerToggleKey::ShowPipx},
    {PackageType::RubyGem, "RubyGems", ManagerToggleKey::ShowGems},
    {PackageType::CargoPackage, "Cargo", ManagerToggleKey::ShowCargo},
    {PackageType::VscodeExtension, "VSCode", ManagerToggleKey::ShowVSCode},
    {PackageType::VscodiumExtension, "VSCodium", ManagerToggleKey::ShowVSCodium},
    {PackageType::CursorExtension, "Cursor", ManagerToggleKey::ShowCursor},
    {PackageType::VscodeInsidersExtension, "VS Code Insiders", ManagerToggleKey::ShowVSCodeInsiders},
    {PackageType::WindsurfExtension, "Windsurf", ManagerToggleKey::ShowWindsurf},
    {PackageType::YarnGlobal, "Yarn Global", ManagerToggleKey::ShowYarn},
    {PackageType::SdkmanCandidate, "SDKMan", ManagerToggleKey::ShowSdkman},
    {PackageType::OllamaModel, "Ollama", ManagerToggleKey::ShowOllama},
    {PackageType::TlmgrPackage, "tlmgr", ManagerToggleKey::ShowTlmgr},
    {PackageType::RustupToolchain, "Rustup", ManagerToggleKey::ShowRustup},
    {PackageType::DenoPackage, "Deno", ManagerToggleKey::ShowDeno},
    {PackageType::GhExtension, "GH CLI", ManagerToggleKey::ShowGhExtensions},
    {PackageType::MiseRuntime, "Mise", ManagerToggleKey::ShowMise},
    {PackageType::MacPorts, "MacPorts", ManagerToggleKey::ShowMacPorts},
    {PackageType::ComposerPackage, "Composer", ManagerToggleKey::ShowComposer},
    {PackageType::FlutterSDK, "Flutter", ManagerToggleKey::ShowFlutter},
    {PackageType::AndroidSDKPackage, "Android SDK", ManagerToggleKey::ShowAndroidSDK},
    {PackageType::AdobeCCApp, "Adobe CC", ManagerToggleKey::ShowAdobeCC},
    {PackageType::CondaPackage, "Conda", ManagerToggleKey::ShowConda},
    {PackageType::MsOfficeApp, "Microsoft Office", ManagerToggleKey::ShowMicrosoftOffice},
    {PackageType::QtPackage, "Qt", ManagerToggleKey::ShowQt},
    {PackageType::NixPackage, "Nix", ManagerToggleKey::ShowNix},
    {PackageType::DockerImage, "Docker", ManagerToggleKey::ShowDocker},
};

// Kinds that are rows of their own kind rather than packages: the AI assistant's plugins,
// marketplaces, skills and binary, the Apple developer tools, the Office applications.
struct OwnKind {
    PackageType type;
    AllUpdateRow::Kind kind;
    const char* idPrefix;  // before the lower-cased name
    const char* icon;
};

const OwnKind kOwnKinds[] = {
    {PackageType::AiPlugin, AllUpdateRow::Kind::AiPlugin, "ai-plugin:", "puzzlepiece"},
    {PackageType::AiMarketplace, AllUpdateRow::Kind::AiMarketplace, "ai-marketplace:", "storefront"},
    {PackageType::AiSkill, AllUpdateRow::Kind::AiSkill, "ai-skill:", "book"},
    {PackageType::AiAssistant, AllUpdateRow::Kind::AiClaudeBinary, "ai-claude-binary:", "terminal"},
    {PackageType::AppleDeveloperTool, AllUpdateRow::Kind::AppleTool, "apple-tool:", "hammer.fill"},
    {PackageType::MsOfficeApp, AllUpdateRow::Kind::Package, "msoffice:", "doc.richtext.fill"},
};

const OwnKind* ownKind(PackageType type) {
    for (const OwnKind& entry : kOwnKinds) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

const FixedLabel* fixedLabel(PackageType type) {
    for (const FixedLabel& entry : kFixedLabels) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

// "ms-office" for "Microsoft Office": a kind no source of this build lists.
std::string kindId(PackageType type) {
    std::string id;
    for (char c : toLower(rawValue(type))) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            id += c;
        } else if (!id.empty() && id.back() != '-') {
            id += '-';
        }
    }
    while (!id.empty() && id.back() == '-') id.pop_back();
    return id;
}

// Homebrew's two kinds apart ("brew", "cask"), else the source that lists the package.
std::string shortIdOf(const Package& package, const SourceRow* registration) {
    std::string prefix = registration != nullptr ? registration->id : kindId(package.type);
    if (package.type == PackageType::BrewFormula) prefix = "brew";
    if (package.type == PackageType::BrewCask) prefix = "cask";
    std::string rest = package.name;
    // One name may be installed in several conda environments; pip keeps one owner per name.
    if (package.type == PackageType::CondaPackage && package.sourceIdentifier && !package.sourceIdentifier->empty()) {
        rest += '@';
        rest += lastPathComponent(*package.sourceIdentifier);
    }
    return shellSafeId(prefix, rest);
}

bool isEditorExtension(PackageType type) {
    return type == PackageType::VscodeExtension || type == PackageType::VscodiumExtension ||
           type == PackageType::CursorExtension || type == PackageType::VscodeInsidersExtension ||
           type == PackageType::WindsurfExtension;
}

std::optional<ManagerToggleKey> applicationToggle(const Application& application) {
    if (application.resolutionSource) {
        switch (*application.resolutionSource) {
            case AppRulePrimarySource::MacAppStore: return ManagerToggleKey::ShowMacAppStore;
            case AppRulePrimarySource::Sparkle: return ManagerToggleKey::ShowSparkle;
            case AppRulePrimarySource::GitHub: return ManagerToggleKey::ShowGitHub;
            case AppRulePrimarySource::Electron: return ManagerToggleKey::ShowElectron;
            case AppRulePrimarySource::GenericUpdater: return ManagerToggleKey::ShowGenericUpdater;
            case AppRulePrimarySource::HomebrewCask: return ManagerToggleKey::ShowCasks;
            default: break;
        }
    }
    switch (application.updateMechanism) {
        case UpdateMechanism::MacAppStore: return ManagerToggleKey::ShowMacAppStore;
        case UpdateMechanism::Sparkle: return ManagerToggleKey::ShowSparkle;
        case UpdateMechanism::HomebrewCask:
        case UpdateMechanism::CaskReference: return ManagerToggleKey::ShowCasks;
        default: return ManagerToggleKey::ShowInstalledApplications;
    }
}

}  // namespace

std::string packageRowId(const Package& package) {
    if (const OwnKind* own = ownKind(package.type)) return toLower(std::string(own->idPrefix) + package.name);
    return stableKey(package);
}

std::string bundleKey(std::string_view bundlePath) {
    std::string key = toLower(trimView(bundlePath));
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

std::string applicationSourceLabel(const Application& application) {
    if (application.resolutionSource) {
        switch (*application.resolutionSource) {
            case AppRulePrimarySource::MacAppStore: return "App Store";
            case AppRulePrimarySource::Sparkle: return "Sparkle";
            case AppRulePrimarySource::GitHub: return "GitHub";
            case AppRulePrimarySource::Electron: return "Electron";
            case AppRulePrimarySource::GenericUpdater: return "Generic";
            case AppRulePrimarySource::HomebrewCask: return "Homebrew Casks";
            case AppRulePrimarySource::DirectDownload: return "Direct Download";
            case AppRulePrimarySource::Manual: return "Manual";
        }
    }
    switch (application.updateMechanism) {
        case UpdateMechanism::MacAppStore: return "App Store";
        case UpdateMechanism::Sparkle: return "Sparkle";
        case UpdateMechanism::HomebrewCask:
        case UpdateMechanism::CaskReference: return "Homebrew Casks";
        case UpdateMechanism::DirectDownload: return "Direct Download";
        case UpdateMechanism::Unknown: break;
    }
    return "Applications";
}

const SourceRow* AllUpdatesRowBuilder::registrationFor(PackageType type) const {
    for (const SourceRow& row : registrations_) {
        for (PackageType produced : row.types) {
            if (produced == type) return &row;
        }
    }
    return nullptr;
}

std::string AllUpdatesRowBuilder::sourceLabel(PackageType type) const {
    if (const FixedLabel* fixed = fixedLabel(type)) return fixed->label;
    const SourceRow* registration = registrationFor(type);
    if (registration == nullptr) return "unknown";
    // A kind with a setting of its own (casks) is a source of its own in the table.
    for (const KindToggle& kind : registration->kindToggles) {
        if (kind.type == type) return kind.name;
    }
    return registration->name;
}

std::string AllUpdatesRowBuilder::sourceId(PackageType type) const {
    const SourceRow* registration = registrationFor(type);
    return registration != nullptr ? registration->id : kindId(type);
}

std::string AllUpdatesRowBuilder::shortId(const Package& package) const {
    return shortIdOf(package, registrationFor(package.type));
}

std::string AllUpdatesRowBuilder::shortId(const Application& application) {
    return shellSafeId("app", application.bundleIdentifier.empty() ? application.name : application.bundleIdentifier);
}

std::optional<std::string> AllUpdatesRowBuilder::shortIdOfLegacyKey(std::string_view key) const {
    // "package:" + the kind's raw value + ":" + the name, in lower case; pip and conda keys
    // carry their environment before the name.
    constexpr std::string_view kPackage = "package:";
    if (!startsWith(key, kPackage)) return std::nullopt;
    const std::string_view rest = key.substr(kPackage.size());
    for (PackageType type : allPackageTypes()) {
        const std::string raw = toLower(rawValue(type)) + ":";
        if (!startsWith(rest, raw)) continue;
        Package package{.name = std::string(rest.substr(raw.size())), .version = "", .type = type};
        const std::size_t environmentEnd = package.name.rfind(':');
        if ((type == PackageType::PipPackage || type == PackageType::CondaPackage) && environmentEnd != std::string::npos) {
            package.sourceIdentifier = package.name.substr(0, environmentEnd);
            package.name.erase(0, environmentEnd + 1);
        }
        if (package.name.empty()) return std::nullopt;
        return shortId(package);
    }
    return std::nullopt;
}

AllUpdateRow AllUpdatesRowBuilder::packageRow(const Package& package, bool allowPreRelease) const {
    AllUpdateRow row;
    row.kind = AllUpdateRow::Kind::Package;
    const OwnKind* own = ownKind(package.type);
    if (own != nullptr) row.kind = own->kind;
    row.id = packageRowId(package);
    row.lookupID = row.id;
    row.name = package.name;
    row.currentVersion = package.version;
    row.latestVersion = package.latestVersion;
    row.hasUpdate = hasPendingUpdate(package, allowPreRelease);
    row.source = sourceLabel(package.type);
    row.subtitle = package.description;
    row.icon = own != nullptr                     ? own->icon
               : isEditorExtension(package.type) ? "puzzlepiece.extension"
                                                 : "shippingbox";
    row.packageType = package.type;
    const SourceRow* registration = registrationFor(package.type);
    if (registration != nullptr) {
        row.toggle = registration->toggleFor(package.type);
    } else if (const FixedLabel* fixed = fixedLabel(package.type)) {
        row.toggle = fixed->toggle;
    }
    if (package.type == PackageType::BrewCask) row.caskToken = toLower(package.name);
    row.sourceId = sourceId(package.type);
    row.shortId = shortIdOf(package, registration);
    row.requiresManualInstaller = package.requiresManualInstaller;
    row.isSecurityUpdate = package.isSecurityUpdate;
    row.isPinned = package.isPinned;
    row.releaseAge = package.releaseAge;
    row.fixedVulnerabilities = package.fixedVulnerabilities;
    row.offeredVulnerabilities = package.latestVulnerabilities;
    row.provenanceLost = vt::provenanceLost(package);
    return row;
}

AllUpdateRow AllUpdatesRowBuilder::applicationRow(const Application& application, bool allowPreRelease) const {
    AllUpdateRow row;
    row.kind = AllUpdateRow::Kind::Application;
    row.id = std::string("app:") + (application.bundleIdentifier.empty() ? application.bundlePath : toLower(application.bundleIdentifier));
    row.lookupID = application.bundlePath;
    row.name = application.name;
    row.currentVersion = application.version;
    row.latestVersion = application.latestVersion;
    row.hasUpdate = isUpdateAvailable(application.version, application.latestVersion, allowPreRelease);
    row.source = applicationSourceLabel(application);
    row.toggle = applicationToggle(application);
    row.icon = row.source == "App Store" ? "apple.logo" : row.source == "Sparkle" ? "sparkles" : "star.fill";
    row.bundlePath = application.bundlePath;
    row.bundleIdentifier = application.bundleIdentifier;
    row.sourceId = "apps";
    row.shortId = shortId(application);
    if (application.homebrewCaskName) row.caskToken = toLower(*application.homebrewCaskName);
    row.releaseDate = application.publishDate;
    row.downloadURL = application.downloadURL;
    return row;
}

std::vector<AllUpdateRow> AllUpdatesRowBuilder::build(const AllUpdatesSnapshot& snapshot, bool includeUpToDate) const {
    std::vector<AllUpdateRow> rows;
    rows.reserve(snapshot.packages.size() + snapshot.applications.size());
    // A cask stands for the bundle of the application it installed: the two rows then meet
    // in de-duplication.
    std::unordered_map<std::string, const Application*> applicationsByCask;
    for (const Application& application : snapshot.applications) {
        if (application.homebrewCaskName) applicationsByCask.emplace(toLower(*application.homebrewCaskName), &application);
    }
    // Rows nobody will see are not built: most items of a machine are up to date.
    for (const Package& package : snapshot.packages) {
        if (!includeUpToDate && !hasPendingUpdate(package, snapshot.allowPreRelease)) continue;
        AllUpdateRow row = packageRow(package, snapshot.allowPreRelease);
        if (row.caskToken) {
            auto found = applicationsByCask.find(*row.caskToken);
            if (found != applicationsByCask.end()) row.bundlePath = found->second->bundlePath;
        }
        rows.push_back(std::move(row));
    }
    std::unordered_map<std::string, std::size_t> seenIds;
    for (const Application& application : snapshot.applications) {
        if (!includeUpToDate && !isUpdateAvailable(application.version, application.latestVersion, snapshot.allowPreRelease)) {
            continue;
        }
        AllUpdateRow row = applicationRow(application, snapshot.allowPreRelease);
        // Two copies of one application (same identifier, two folders) stay two rows.
        if (seenIds[row.id]++ > 0) {
            row.id += std::string(":") + application.bundlePath;
            row.shortId = shellSafeId(row.shortId, application.bundlePath);
        }
        rows.push_back(std::move(row));
    }
    for (const SoftwareUpdate& update : snapshot.systemUpdates) rows.push_back(systemUpdateRow(update));
    for (const AdoptableApp& app : snapshot.adoptableApps) rows.push_back(adoptableRow(app));
    return rows;
}

AllUpdateRow AllUpdatesRowBuilder::adoptableRow(const AdoptableApp& app) {
    AllUpdateRow row;
    row.id = "adoptable:" + app.id;
    row.lookupID = row.id;
    row.shortId = shellSafeId("adoptable", app.id);
    row.sourceId = "apps";
    row.kind = AllUpdateRow::Kind::Adoptable;
    row.name = app.name;
    row.currentVersion = app.installedVersion;
    row.latestVersion = app.caskVersion;
    row.source = "Homebrew";
    row.subtitle = localized(labelKey(app.matchConfidence)) + " → " + app.caskToken;
    row.icon = "shippingbox";
    row.bundlePath = app.path;
    row.bundleIdentifier = app.id;
    row.caskToken = app.caskToken;
    row.toggle = ManagerToggleKey::ShowInstalledApplications;
    return row;
}

AllUpdateRow AllUpdatesRowBuilder::systemUpdateRow(const SoftwareUpdate& update) {
    AllUpdateRow row;
    row.id = "macos:" + update.id;
    row.lookupID = row.id;
    row.shortId = shellSafeId("macos", update.id);
    row.sourceId = "software-update";
    row.kind = AllUpdateRow::Kind::Software;
    row.name = update.displayName.empty() ? update.name : update.displayName;
    if (!update.version.empty()) row.latestVersion = update.version;
    row.source = "macOS";
    row.subtitle = update.size;
    row.icon = "gear";
    row.toggle = ManagerToggleKey::ShowSoftwareUpdate;
    row.isSecurityUpdate = categoryOf(update.name) == SoftwareUpdateCategory::Security;
    return row;
}

}  // namespace vt
