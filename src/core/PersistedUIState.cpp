#include "core/PersistedUIState.hpp"

#include <algorithm>
#include <set>

#include "settings/DefaultsStore.hpp"

namespace vt {

namespace {

template <typename T>
void putOptional(Json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

}  // namespace

Json PersistedUIState::toJson() const {
    Json json = Json::object();
    json["selectedCategoryRawValue"] = selectedCategoryRawValue;
    json["searchText"] = searchText;
    json["showLeftSidebar"] = showLeftSidebar;
    json["showDetailPanel"] = showDetailPanel;
    if (selectedItem) {
        Json selection = Json::object();
        selection["kind"] = selectedItem->kind;
        selection["identifier"] = selectedItem->identifier;
        putOptional(selection, "secondaryIdentifier", selectedItem->secondaryIdentifier);
        putOptional(selection, "packageTypeRawValue", selectedItem->packageTypeRawValue);
        putOptional(selection, "packageName", selectedItem->packageName);
        json["selectedItem"] = std::move(selection);
    }
    Json activity = Json::array();
    for (const auto& record : recentActivity) activity.push_back(record.toJson());
    json["recentActivity"] = std::move(activity);
    putOptional(json, "macOSUpdateStatus", macOSUpdateStatus);
    putOptional(json, "homebrewCacheSize", homebrewCacheSize);
    putOptional(json, "securitySummary", securitySummary);
    if (systemHealth) {
        Json health = Json::object();
        health["score"] = systemHealth->score;
        health["status"] = systemHealth->status;
        putOptional(health, "topRecommendation", systemHealth->topRecommendation);
        json["systemHealth"] = std::move(health);
    }
    return json;
}

PersistedUIState PersistedUIState::fromJson(const Json& json) {
    PersistedUIState state;
    if (!json.is_object()) return state;
    state.selectedCategoryRawValue = stringField(json, "selectedCategoryRawValue").value_or("");
    state.searchText = stringField(json, "searchText").value_or("");
    state.showLeftSidebar = boolField(json, "showLeftSidebar").value_or(true);
    state.showDetailPanel = boolField(json, "showDetailPanel").value_or(true);
    if (json.contains("selectedItem")) {
        const Json& selection = json["selectedItem"];
        auto kind = stringField(selection, "kind");
        auto identifier = stringField(selection, "identifier");
        if (kind && identifier) {
            state.selectedItem = PersistedSelection{*kind, *identifier, stringField(selection, "secondaryIdentifier"),
                                                    stringField(selection, "packageTypeRawValue"),
                                                    stringField(selection, "packageName")};
        }
    }
    if (json.contains("recentActivity") && json["recentActivity"].is_array()) {
        for (const auto& item : json["recentActivity"]) {
            if (auto record = ActivityRecord::fromJson(item)) state.recentActivity.push_back(*record);
        }
    }
    for (auto [key, target] : {std::pair{"macOSUpdateStatus", &state.macOSUpdateStatus},
                               std::pair{"homebrewCacheSize", &state.homebrewCacheSize},
                               std::pair{"securitySummary", &state.securitySummary}}) {
        if (json.contains(key) && !json[key].is_null()) *target = json[key];
    }
    if (json.contains("systemHealth")) {
        const Json& health = json["systemHealth"];
        if (auto score = integerField(health, "score")) {
            state.systemHealth = PersistedSystemHealth{*score, stringField(health, "status").value_or(""),
                                                       stringField(health, "topRecommendation")};
        }
    }
    return state;
}

PersistedUIState PersistedUIState::load(const DefaultsStore& defaults) {
    auto stored = defaults.object(kDefaultsKey);
    return stored ? fromJson(*stored) : PersistedUIState{};
}

void PersistedUIState::save(DefaultsStore& defaults) const { defaults.set(kDefaultsKey, toJson()); }

void PersistedUIState::mergeActivity(DefaultsStore& defaults, const std::vector<ActivityRecord>& records,
                                     std::size_t limit) {
    defaults.update([&](Json& object) { mergeActivityInto(object, records, limit); });
}

void PersistedUIState::mergeActivityInto(Json& object, const std::vector<ActivityRecord>& records, std::size_t limit) {
    PersistedUIState state;
    if (auto it = object.find(kDefaultsKey); it != object.end()) state = fromJson(*it);
    std::set<std::string> known;
    for (const auto& record : state.recentActivity) known.insert(record.id.toString());
    for (const auto& record : records) {
        if (known.insert(record.id.toString()).second) state.recentActivity.push_back(record);
    }
    std::stable_sort(state.recentActivity.begin(), state.recentActivity.end(),
                     [](const ActivityRecord& a, const ActivityRecord& b) { return a.date > b.date; });
    if (state.recentActivity.size() > limit) state.recentActivity.resize(limit);
    object[kDefaultsKey] = state.toJson();
}

}  // namespace vt
