#include "managers/PublishTimes.hpp"

#include "base/IsoDate.hpp"
#include "model/VersionRules.hpp"

namespace vt::publishtimes {

namespace {

bool deprecated(const Json& manifest) {
    auto found = manifest.find("deprecated");
    return found != manifest.end() && ((found->is_string() && !found->get<std::string>().empty()) ||
                                       (found->is_boolean() && found->get<bool>()));
}

// A key no version has: empty, or with a blank (which also keeps the saved form readable).
bool notAVersion(const std::string& key) { return key.empty() || key.find_first_of(" \t\r\n") != std::string::npos; }

std::optional<Clock::TimePoint> dateIn(const Json& object, const std::string& key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return parseIsoDate(found->get<std::string>());
}

}  // namespace

std::vector<PublishedRelease> fromNpmDocument(const Json& document) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto versions = document.find("versions");
    if (versions == document.end() || !versions->is_object()) return releases;
    static const Json kNoTimes = Json::object();
    auto times = document.find("time");
    const Json& dates = times != document.end() && times->is_object() ? *times : kNoTimes;
    for (const auto& [version, manifest] : versions->items()) {
        if (notAVersion(version) || isPreRelease(version) || (manifest.is_object() && deprecated(manifest))) continue;
        releases.push_back({version, dateIn(dates, version)});
    }
    return releases;
}

std::vector<PublishedRelease> fromPyPIDocument(const Json& document) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto all = document.find("releases");
    if (all == document.end() || !all->is_object()) return releases;
    for (const auto& [version, files] : all->items()) {
        if (notAVersion(version) || isPreRelease(version) || !files.is_array()) continue;
        std::optional<Clock::TimePoint> earliest;
        bool available = files.empty();  // a release without files: its age is unknown
        for (const Json& file : files) {
            if (!file.is_object()) continue;
            if (auto yanked = file.find("yanked"); yanked != file.end() && yanked->is_boolean() && yanked->get<bool>()) {
                continue;
            }
            available = true;
            std::optional<Clock::TimePoint> uploaded = dateIn(file, "upload_time_iso_8601");
            if (uploaded && (!earliest || *uploaded < *earliest)) earliest = uploaded;
        }
        if (available) releases.push_back({version, earliest});
    }
    return releases;
}

}  // namespace vt::publishtimes
