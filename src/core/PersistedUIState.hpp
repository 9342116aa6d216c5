#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Json.hpp"
#include "model/ActivityRecord.hpp"

namespace vt {

class DefaultsStore;

struct PersistedSelection {
    std::string kind;  // "application", "package", ...
    std::string identifier;
    std::optional<std::string> secondaryIdentifier;
    std::optional<std::string> packageTypeRawValue;
    std::optional<std::string> packageName;
};

struct PersistedSystemHealth {
    long long score = 0;
    std::string status;
    std::optional<std::string> topRecommendation;
};

// The interface's own state between runs, one JSON blob in the defaults store. Fields whose
// sources do not exist yet (macOS update status, Homebrew cache size, security summary) are
// kept as they were stored, or absent.
struct PersistedUIState {
    std::string selectedCategoryRawValue;
    std::string searchText;
    bool showLeftSidebar = true;
    bool showDetailPanel = true;
    std::optional<PersistedSelection> selectedItem;
    std::vector<ActivityRecord> recentActivity;
    std::optional<Json> macOSUpdateStatus;
    std::optional<Json> homebrewCacheSize;
    std::optional<Json> securitySummary;
    std::optional<PersistedSystemHealth> systemHealth;

    static constexpr const char* kDefaultsKey = "PackageCoordinator.PersistedUIState";

    Json toJson() const;
    static PersistedUIState fromJson(const Json& json);
    // Absent or unreadable: the defaults.
    static PersistedUIState load(const DefaultsStore& defaults);
    void save(DefaultsStore& defaults) const;  // throws FileWriteError
    // Adds records to the stored activity in one locked read-modify-write, keeping what
    // other processes stored meanwhile: the union by id, newest first, at most `limit`.
    static void mergeActivity(DefaultsStore& defaults, const std::vector<ActivityRecord>& records,
                              std::size_t limit);  // throws FileWriteError
    // The same merge into the settings object of a read-modify-write already under way.
    static void mergeActivityInto(Json& settings, const std::vector<ActivityRecord>& records, std::size_t limit);
};

}  // namespace vt
