#include "presentation/IgnoredItem.hpp"

#include <ctime>

#include "base/Localization.hpp"

namespace vt {

namespace {

std::string localDay(Clock::TimePoint date) {
    std::time_t time = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace

std::string statusName(IgnoredItem::Status::Kind kind) {
    switch (kind) {
        case IgnoredItem::Status::Kind::VersionIgnored: return "versionIgnored";
        case IgnoredItem::Status::Kind::Snoozed: return "snoozed";
        case IgnoredItem::Status::Kind::ExtensionIgnored: return "extensionIgnored";
        case IgnoredItem::Status::Kind::AutoDeferred: return "autoDeferred";
        case IgnoredItem::Status::Kind::UnknownMechanism: return "unknownMechanism";
        case IgnoredItem::Status::Kind::AppIgnored: return "appIgnored";
    }
    return "unknownMechanism";
}

std::string statusLabel(const IgnoredItem::Status& status) {
    switch (status.kind) {
        case IgnoredItem::Status::Kind::VersionIgnored: return localized("ignored.status_version", {status.detail});
        case IgnoredItem::Status::Kind::Snoozed:
            return status.until ? localized("ignored.status_snoozed", {localDay(*status.until)})
                                : localized("ignored.status_snoozed_indefinitely");
        case IgnoredItem::Status::Kind::ExtensionIgnored: return localized("ignored.status_extension");
        case IgnoredItem::Status::Kind::AutoDeferred: return localized("ignored.status_auto_deferred", {status.detail});
        case IgnoredItem::Status::Kind::AppIgnored: return localized("ignored.status_ignored");
        case IgnoredItem::Status::Kind::UnknownMechanism: break;
    }
    return localized("ignored.status_unknown");
}

}  // namespace vt
