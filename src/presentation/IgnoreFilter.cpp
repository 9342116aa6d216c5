#include "presentation/IgnoreFilter.hpp"

#include <cctype>
#include <unordered_map>

#include "base/Strings.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/SkippedVersionStore.hpp"

namespace vt {

namespace {

bool standsForApplication(const AllUpdateRow& row) {
    return row.kind == AllUpdateRow::Kind::Application || row.packageType == PackageType::BrewCask;
}

bool isEditorExtension(const AllUpdateRow& row) {
    return row.id.rfind("vscode", 0) == 0 || row.id.rfind("cursor:", 0) == 0 || row.id.rfind("windsurf:", 0) == 0;
}

}  // namespace

std::string normalizedAppName(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::vector<std::string> IgnoreFilter::aliases(const AllUpdateRow& row) const {
    std::vector<std::string> out;
    if (!standsForApplication(row)) return out;
    if (!row.bundleIdentifier.empty()) out.push_back(std::string("id:") + toLower(row.bundleIdentifier));
    if (row.caskToken) out.push_back(std::string("cask:") + *row.caskToken);
    std::string name = normalizedAppName(row.name);
    if (!name.empty()) out.push_back(std::string("name:") + name);
    return out;
}

IgnoreFilter::IgnoreFilter(State state, const std::vector<AllUpdateRow>& rows) : state_(std::move(state)) {
    for (const std::string& id : state_.ignored) ignoredAliases_.insert(std::string("id:") + toLower(id));
    // Every name a directly ignored application or cask goes by elsewhere.
    for (const AllUpdateRow& row : rows) {
        if (!standsForApplication(row)) continue;
        bool ignored = state_.ignored.count(row.id) > 0 ||
                       (!row.bundleIdentifier.empty() && state_.ignored.count(row.bundleIdentifier) > 0);
        if (!ignored) continue;
        for (std::string& alias : aliases(row)) ignoredAliases_.insert(std::move(alias));
    }
}

bool IgnoreFilter::isIgnored(const AllUpdateRow& row) const {
    if (state_.ignored.count(row.id) > 0) return true;
    if (!row.bundleIdentifier.empty() && state_.ignored.count(row.bundleIdentifier) > 0) return true;
    for (const std::string& alias : aliases(row)) {
        if (ignoredAliases_.count(alias) > 0) return true;
    }
    return false;
}

IgnoreFilter::Hold IgnoreFilter::hold(const AllUpdateRow& row) const {
    if (isIgnored(row)) return Hold::Ignored;
    if (!row.hasUpdate) return Hold::None;
    if (SkippedVersionStore::hides(state_.skippedVersions, row.id, row.latestVersion)) return Hold::VersionSkipped;
    if (SnoozeStore::hides(state_.snoozes, row.id, state_.now)) return Hold::Snoozed;
    if (auto found = state_.deferrals.find(row.id);
        found != state_.deferrals.end() && AutoDeferralStore::hides(found->second, row.latestVersion, state_.now)) {
        return Hold::Deferred;
    }
    // A package whose source was guarded carries its verdict; an application only its release date.
    if (row.releaseAge) return row.releaseAge->holdsBack() ? Hold::TooRecent : Hold::None;
    if (state_.minimumReleaseAgeDays > 0 && row.releaseDate &&
        state_.now - *row.releaseDate < std::chrono::hours(24 * state_.minimumReleaseAgeDays)) {
        return Hold::TooRecent;
    }
    return Hold::None;
}

RowHiding IgnoreFilter::hiding(const AllUpdateRow& row) const {
    switch (hold(row)) {
        case Hold::None: return RowHiding::Shown;
        case Hold::TooRecent: return RowHiding::HeldBack;
        case Hold::Ignored:
        case Hold::VersionSkipped:
        case Hold::Snoozed:
        case Hold::Deferred: return RowHiding::Hidden;
    }
    return RowHiding::Shown;
}

std::vector<IgnoredItem> IgnoreFilter::ignoredItems(const std::vector<AllUpdateRow>& rows) const {
    std::unordered_map<std::string, const AllUpdateRow*> byKey;
    for (const AllUpdateRow& row : rows) {
        byKey.emplace(row.id, &row);
        if (!row.bundleIdentifier.empty()) byKey.emplace(row.bundleIdentifier, &row);
    }
    auto item = [&byKey](const std::string& key, IgnoredItem::Status status, const std::string& fallbackName) {
        IgnoredItem entry;
        entry.id = key;
        entry.settingsIdentifier = key;
        entry.name = fallbackName.empty() ? key : fallbackName;
        entry.status = std::move(status);
        entry.icon = "eye.slash";
        if (auto found = byKey.find(key); found != byKey.end()) {
            const AllUpdateRow& row = *found->second;
            entry.id = row.id;
            entry.name = row.name;
            entry.version = row.latestVersion.value_or(row.currentVersion);
            entry.source = row.source;
            entry.icon = row.icon;
            entry.bundlePath = row.bundlePath;
            if (!row.bundleIdentifier.empty()) entry.bundleIdentifier = row.bundleIdentifier;
            entry.packageType = row.packageType;
            if (row.packageType) entry.packageIdentifier = row.name;
            switch (row.kind) {
                case AllUpdateRow::Kind::AiPlugin: entry.aiKind = IgnoredAIItemKind::Plugin; break;
                case AllUpdateRow::Kind::AiMarketplace: entry.aiKind = IgnoredAIItemKind::Marketplace; break;
                case AllUpdateRow::Kind::AiSkill: entry.aiKind = IgnoredAIItemKind::Skill; break;
                case AllUpdateRow::Kind::AppleTool: entry.appleToolIdentifier = row.name; break;
                default: break;
            }
            if (entry.aiKind) entry.aiIdentifier = row.name;
            if (isEditorExtension(row)) {
                entry.extensionId = row.name;
                entry.status = {IgnoredItem::Status::Kind::ExtensionIgnored, row.name, std::nullopt};
            }
        }
        return entry;
    };
    std::vector<IgnoredItem> items;
    for (const std::string& id : state_.ignored) {
        items.push_back(item(id, {IgnoredItem::Status::Kind::AppIgnored, {}, std::nullopt}, ""));
        if (items.back().status.kind != IgnoredItem::Status::Kind::ExtensionIgnored) {
            items.back().status = {IgnoredItem::Status::Kind::AppIgnored, {}, std::nullopt};
        }
    }
    for (const auto& [id, version] : state_.skippedVersions) {
        items.push_back(item(id, {IgnoredItem::Status::Kind::VersionIgnored, version, std::nullopt}, ""));
        items.back().status = {IgnoredItem::Status::Kind::VersionIgnored, version, std::nullopt};
        items.back().version = version;
    }
    for (const auto& [id, until] : state_.snoozes) {
        if (until && *until <= state_.now) continue;  // over: the item shows again
        items.push_back(item(id, {}, ""));
        items.back().status = {IgnoredItem::Status::Kind::Snoozed, {}, until};
    }
    for (const auto& [id, deferral] : state_.deferrals) {
        items.push_back(item(id, {}, deferral.name));
        items.back().status = {IgnoredItem::Status::Kind::AutoDeferred, deferral.reason, std::nullopt};
        if (items.back().source.empty()) items.back().source = deferral.source;
    }
    return items;
}

}  // namespace vt
