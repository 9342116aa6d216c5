#include "model/ActivityRecord.hpp"

#include <array>

#include "base/Localization.hpp"

namespace vt {

namespace {
constexpr std::array<std::string_view, 9> kTypeNames = {"scan",    "update",   "install", "uninstall", "cleanup",
                                                        "security", "success", "error",   "info"};
}

std::string_view toString(ActivityRecord::ActivityType type) { return kTypeNames[static_cast<std::size_t>(type)]; }

namespace {

Json textJson(const ActivityRecord::Text& text) {
    Json json = Json::object();
    json["key"] = text.key;
    json["arguments"] = text.arguments;
    return json;
}

std::optional<ActivityRecord::Text> textFrom(const Json& texts, const char* name) {
    auto found = texts.find(name);
    if (found == texts.end() || !found->is_object()) return std::nullopt;
    std::optional<std::string> key = stringField(*found, "key");
    auto arguments = found->find("arguments");
    if (!key || key->empty() || arguments == found->end() || !arguments->is_array()) return std::nullopt;
    ActivityRecord::Text text{.key = *key, .arguments = {}};
    for (const Json& argument : *arguments) {
        if (!argument.is_string()) return std::nullopt;
        text.arguments.push_back(argument.get<std::string>());
    }
    return text;
}

// The text again in today's language; the one written stays when its key is no longer known.
void relocalize(std::string& text, const std::optional<ActivityRecord::Text>& source) {
    if (source && localized(source->key) != source->key) text = localized(source->key, source->arguments);
}

}  // namespace

void ActivityRecord::setTitle(std::string key, std::vector<std::string> arguments) {
    title = localized(key, arguments);
    titleText = Text{.key = std::move(key), .arguments = std::move(arguments)};
}

void ActivityRecord::setSubtitle(std::string key, std::vector<std::string> arguments) {
    subtitle = localized(key, arguments);
    subtitleText = Text{.key = std::move(key), .arguments = std::move(arguments)};
}

Json ActivityRecord::toJson() const {
    Json json = Json::object();
    json["id"] = id.toString();
    json["date"] = toReferenceSeconds(date);
    json["title"] = title;
    json["subtitle"] = subtitle;
    json["type"] = std::string(toString(type));
    if (duration) json["duration"] = *duration;
    if (titleText || subtitleText) {
        Json texts = Json::object();
        if (titleText) texts["title"] = textJson(*titleText);
        if (subtitleText) texts["subtitle"] = textJson(*subtitleText);
        json["texts"] = std::move(texts);
    }
    return json;
}

std::optional<ActivityRecord> ActivityRecord::fromJson(const Json& json) {
    auto title = stringField(json, "title");
    auto typeName = stringField(json, "type");
    auto date = numberField(json, "date");
    if (!title || !typeName || !date) return std::nullopt;
    ActivityRecord record;
    if (auto id = stringField(json, "id")) {
        if (auto parsed = Uuid::parse(*id)) record.id = *parsed;
    }
    record.date = fromReferenceSeconds(*date);
    record.title = *title;
    record.subtitle = stringField(json, "subtitle").value_or("");
    bool known = false;
    for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
        if (kTypeNames[i] == *typeName) {
            record.type = static_cast<ActivityType>(i);
            known = true;
        }
    }
    if (!known) return std::nullopt;
    record.duration = numberField(json, "duration");
    if (auto texts = json.find("texts"); texts != json.end() && texts->is_object()) {
        record.titleText = textFrom(*texts, "title");
        record.subtitleText = textFrom(*texts, "subtitle");
        relocalize(record.title, record.titleText);
        relocalize(record.subtitle, record.subtitleText);
    }
    return record;
}

}  // namespace vt
