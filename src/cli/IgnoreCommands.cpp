#include "cli/IgnoreCommands.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/IsoDate.hpp"
#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/TextTable.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/ManagerRegistry.hpp"
#include "model/VersionRules.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "presentation/SkippedVersionStore.hpp"
#include "presentation/SnoozeStore.hpp"
#include "settings/SettingsManager.hpp"

namespace vt::cli {

namespace {

struct IgnoreArguments {
    std::vector<std::string> items;
    std::optional<std::string> version;  // given, even empty (an unset variable), or not
    std::string until;
    std::string forDuration;
    bool indefinitely = false;
    bool json = false;
    bool ids = false;
};

// The one row an argument names. Several rows of one name resolve to the application among
// them, which an ignore hides under every source.
const AllUpdateRow* resolveOne(const std::string& verb, const std::string& argument, const std::vector<AllUpdateRow>& rows) {
    std::vector<const AllUpdateRow*> matches = resolveRows(argument, rows);
    if (matches.size() == 1) return matches.front();
    const AllUpdateRow* application = nullptr;
    std::size_t applications = 0;
    for (const AllUpdateRow* row : matches) {
        if (row->kind == AllUpdateRow::Kind::Application) {
            application = row;
            ++applications;
        }
    }
    if (applications == 1) return application;
    reportUnresolved(verb, argument, matches);
    return nullptr;
}

// The key an ignore list stores an item under when `argument` names it: the key itself, or
// the short id of a key of the earlier form.
std::optional<std::string> storedKeyNamed(const std::string& argument, const std::set<std::string>& keys) {
    if (keys.count(argument) > 0) return argument;
    const std::string lower = toLower(trimView(argument));
    const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
    for (const std::string& key : keys) {
        if (builder.shortIdOfLegacyKey(key) == lower) return key;
    }
    return std::nullopt;
}


// A snooze longer than this is one with no end: --indefinitely says so.
constexpr std::chrono::minutes kLongestSnooze = std::chrono::hours(24 * 366 * 100);

// "7d", "12h", "2w", "30m", in minutes: a count of weeks a clock cannot hold still fits.
std::optional<std::chrono::minutes> parseDuration(std::string_view text) {
    text = trimView(text);
    if (text.size() < 2 || text.size() > 12) return std::nullopt;
    long long count = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        count = count * 10 + (c - '0');
    }
    if (count <= 0) return std::nullopt;
    switch (text.back()) {
        case 'm': return std::chrono::minutes(count);
        case 'h': return std::chrono::hours(count);
        case 'd': return std::chrono::hours(24 * count);
        case 'w': return std::chrono::hours(24 * 7 * count);
        default: return std::nullopt;
    }
}

// "2026-12-31" (the start of that day, local time) or "2026-12-31T18:00".
std::optional<Clock::TimePoint> parseDate(const std::string& text) {
    std::tm local{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M", &local);
    if (end == nullptr || *end != '\0') {
        local = std::tm{};
        end = strptime(text.c_str(), "%Y-%m-%d", &local);
        if (end == nullptr || *end != '\0') return std::nullopt;
    }
    // mktime would carry April 31st over to May 1st: a day that does not exist is refused.
    if (!isCalendarDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday)) return std::nullopt;
    local.tm_isdst = -1;
    std::time_t time = std::mktime(&local);
    if (time == -1) return std::nullopt;
    return std::chrono::system_clock::from_time_t(time);
}

int ignore(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    std::vector<std::string> keys;
    std::vector<const AllUpdateRow*> chosen;
    for (const std::string& argument : arguments.items) {
        const AllUpdateRow* row = resolveOne("ignore", argument, rows);
        if (row == nullptr) return kExitUsage;
        keys.push_back(ignoreKey(*row));
        chosen.push_back(row);
    }
    IgnoredAppsManager& ignored = Context::shared().ignoredApps();
    std::vector<bool> already;
    for (const std::string& key : keys) already.push_back(ignored.isIgnored(key));
    ignored.ignoreSeveral(keys);  // one write for all of them
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const char* key = already[i] ? "ignore.already" : "ignore.done";
        std::printf("%s\n", localized(key, {chosen[i]->name, chosen[i]->shortId}).c_str());
    }
    return kExitSuccess;
}

// Ends what the user or the program put on an item: an ignore, a skipped version, and a
// deferral after repeated failures (whose failure history goes with it, so that it is tried
// afresh). A snooze has its own verb, as it has its own end.
int unignore(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoredAppsManager& ignored = Context::shared().ignoredApps();
    AutoDeferralStore deferrals(Context::shared().settings());
    SkippedVersionStore skips(Context::shared().settings());
    const std::map<std::string, AutoDeferredUpdate> deferred = deferrals.deferrals();
    const std::map<std::string, std::string> skipped = skips.all();
    // Both stores key an item by its row id.
    std::set<std::string> heldKeys;
    for (const auto& entry : deferred) heldKeys.insert(entry.first);
    for (const auto& entry : skipped) heldKeys.insert(entry.first);
    struct Target {
        std::string ignoreKey, rowKey, name;
    };
    std::vector<Target> targets;
    for (const std::string& argument : arguments.items) {
        // An item gone from the inventory is still named by the key it is stored under, or
        // by the short id that key stands for.
        const std::optional<std::string> ignoredAs = storedKeyNamed(argument, ignored.ignoredBundleIds());
        const std::optional<std::string> heldAs = storedKeyNamed(argument, heldKeys);
        if (ignoredAs || heldAs) {
            const std::string key = heldAs.value_or(argument);
            const auto found = deferred.find(key);
            const auto row = std::find_if(rows.begin(), rows.end(), [&key](const AllUpdateRow& r) { return r.id == key; });
            const std::string name = found != deferred.end() ? found->second.name : row != rows.end() ? row->name : argument;
            targets.push_back({ignoredAs.value_or(argument), key, name});
            continue;
        }
        const AllUpdateRow* row = resolveOne("unignore", argument, rows);
        if (row == nullptr) return kExitUsage;
        targets.push_back({ignoreKey(*row), row->id, row->name});
    }
    std::vector<std::string> keys;
    std::vector<bool> present;
    for (const Target& target : targets) {
        keys.push_back(target.ignoreKey);
        present.push_back(ignored.isIgnored(target.ignoreKey));
    }
    ignored.unignoreSeveral(keys);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const bool wasDeferred = deferrals.end(targets[i].rowKey);
        const auto skip = skipped.find(targets[i].rowKey);
        const bool wasSkipped = skip != skipped.end() && skips.clear(targets[i].rowKey);
        if (present[i]) {
            std::printf("%s\n", localized("unignore.done", {targets[i].name}).c_str());
        } else if (wasDeferred) {
            std::printf("%s\n", localized("unignore.deferral_ended", {targets[i].name}).c_str());
        } else if (wasSkipped) {
            std::printf("%s\n", localized("unignore.skip_ended", {targets[i].name, skip->second}).c_str());
        } else {
            std::printf("%s\n", localized("unignore.not_ignored", {targets[i].name}).c_str());
        }
    }
    return kExitSuccess;
}

int skip(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    const AllUpdateRow* row = resolveOne("skip", arguments.items.front(), rows);
    if (row == nullptr) return kExitUsage;
    std::string version = arguments.version.value_or(row->latestVersion.value_or(""));
    if (!arguments.version && trimView(version).empty()) {
        std::fprintf(stderr, "vantreel skip: %s\n", localized("skip.no_version", {row->name}).c_str());
        return kExitUsage;
    }
    // Only a version that could be offered: one with a number in it, on one line of a length a
    // table can show, newer than the installed one.
    if (arguments.version) {
        constexpr std::size_t kLongestVersion = 128;
        const bool numbered = std::any_of(version.begin(), version.end(), [](unsigned char c) { return std::isdigit(c); });
        const bool plain = version.size() <= kLongestVersion &&
                           std::none_of(version.begin(), version.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
        if (!numbered || !plain || isPlaceholderVersion(trim(version))) {
            const std::string shownVersion = oneLine(version.size() > kLongestVersion ? version.substr(0, kLongestVersion) + "…" : version);
            std::fprintf(stderr, "vantreel skip: %s\n", localized("skip.not_a_version", {trim(shownVersion)}).c_str());
            return kExitUsage;
        }
        if (!row->currentVersion.empty() && compareVersions(row->currentVersion, trim(version)) != VersionOrder::Ascending) {
            std::fprintf(stderr, "vantreel skip: %s\n",
                         localized("skip.not_newer", {trim(version), row->name, row->currentVersion}).c_str());
            return kExitUsage;
        }
    }
    SkippedVersionStore(Context::shared().settings()).skip(row->id, version);
    std::printf("%s\n", localized("skip.done", {row->name, trim(version)}).c_str());
    return kExitSuccess;
}

int snooze(const IgnoreArguments& arguments) {
    const int given = (arguments.until.empty() ? 0 : 1) + (arguments.forDuration.empty() ? 0 : 1) +
                      (arguments.indefinitely ? 1 : 0);
    if (given != 1) {
        std::fprintf(stderr, "vantreel snooze: %s\n", localized("snooze.one_of").c_str());
        return kExitUsage;
    }
    const Clock::TimePoint now = Clock::shared().now();
    std::optional<Clock::TimePoint> until;
    if (!arguments.until.empty()) {
        until = parseDate(arguments.until);
        if (!until) {
            std::fprintf(stderr, "vantreel snooze: %s\n", localized("snooze.bad_date", {arguments.until}).c_str());
            return kExitUsage;
        }
    } else if (!arguments.forDuration.empty()) {
        std::optional<std::chrono::minutes> duration = parseDuration(arguments.forDuration);
        if (!duration) {
            std::fprintf(stderr, "vantreel snooze: %s\n", localized("snooze.bad_duration", {arguments.forDuration}).c_str());
            return kExitUsage;
        }
        if (*duration > kLongestSnooze) {
            std::fprintf(stderr, "vantreel snooze: %s\n", localized("snooze.too_long", {arguments.forDuration}).c_str());
            return kExitUsage;
        }
        until = now + std::chrono::duration_cast<Clock::Duration>(*duration);
    }
    if (until && *until <= now) {
        std::fprintf(stderr, "vantreel snooze: %s\n", localized("snooze.past", {localDate(*until)}).c_str());
        return kExitUsage;
    }
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    const AllUpdateRow* row = resolveOne("snooze", arguments.items.front(), rows);
    if (row == nullptr) return kExitUsage;
    SnoozeStore(Context::shared().settings()).snooze(row->id, until, now);
    std::string when = until ? localDate(*until) : localized("snooze.indefinitely");
    std::printf("%s\n", localized(until ? "snooze.done" : "snooze.done_indefinitely", {row->name, when}).c_str());
    return kExitSuccess;
}

int unsnooze(const IgnoreArguments& arguments) {
    SnoozeStore snoozes(Context::shared().settings());
    const std::string& argument = arguments.items.front();
    std::string key = argument, name = argument;
    std::set<std::string> snoozed;
    for (const auto& [id, until] : snoozes.all()) snoozed.insert(id);
    if (std::optional<std::string> stored = storedKeyNamed(argument, snoozed)) {
        key = *stored;
    } else {
        std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
        const AllUpdateRow* row = resolveOne("unsnooze", argument, rows);
        if (row == nullptr) return kExitUsage;
        key = row->id;
        name = row->name;
    }
    const bool removed = snoozes.unsnooze(key);
    std::printf("%s\n", localized(removed ? "unsnooze.done" : "unsnooze.not_snoozed", {name}).c_str());
    return kExitSuccess;
}

Json itemJson(const IgnoredItem& item, const std::string& id) {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = item.name;
    json["version"] = item.version;
    json["status"] = statusName(item.status.kind);
    if (!item.status.detail.empty()) json["statusDetail"] = item.status.detail;
    if (item.status.kind == IgnoredItem::Status::Kind::Snoozed) {
        json["until"] = item.status.until ? Json(jsonDate(*item.status.until)) : Json();
    }
    json["label"] = statusLabel(item.status);
    json["sourceName"] = item.source;
    if (item.bundlePath) json["bundlePath"] = *item.bundlePath;
    if (item.bundleIdentifier) json["bundleIdentifier"] = *item.bundleIdentifier;
    if (item.packageIdentifier) json["packageIdentifier"] = *item.packageIdentifier;
    if (item.extensionId) json["extensionId"] = *item.extensionId;
    if (item.appleToolIdentifier) json["appleToolIdentifier"] = *item.appleToolIdentifier;
    if (item.aiIdentifier) json["aiIdentifier"] = *item.aiIdentifier;
    if (item.aiKind) {
        json["aiKind"] = *item.aiKind == IgnoredAIItemKind::Plugin        ? "plugin"
                         : *item.aiKind == IgnoredAIItemKind::Marketplace ? "marketplace"
                                                                          : "skill";
    }
    if (item.settingsIdentifier) json["storedAs"] = *item.settingsIdentifier;
    return json;
}

int listIgnored(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoreFilter filter(currentIgnoreState(), rows);
    std::vector<IgnoredItem> items = filter.ignoredItems(rows);
    if (arguments.json) {
        Json list = Json::array();
        for (const IgnoredItem& item : items) list.push_back(itemJson(item, shownId(item, rows)));
        Json document = jsonDocument();
        document["ignored"] = std::move(list);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (arguments.ids) {
        for (const IgnoredItem& item : items) std::printf("%s\n", shownId(item, rows).c_str());
        return kExitSuccess;
    }
    if (items.empty()) {
        std::printf("%s\n", localized("ignored.none").c_str());
        return kExitSuccess;
    }
    TextTable table({{localized("table.column.name"), Column::Elide::End, 10, 0},
                     {localized("table.column.source"), Column::Elide::End, 4, 1},
                     {localized("ignored.column.status"), Column::Elide::End, 10, 2},
                     {localized("ignored.column.id"), Column::Elide::Middle, 12, 0}});
    for (const IgnoredItem& item : items) {
        table.add({oneLine(item.name), oneLine(item.source), statusLabel(item.status), shownId(item, rows)});
    }
    std::fputs(table.render(Style::forStream(stdout), outputWidth()).c_str(), stdout);
    return kExitSuccess;
}

CLI::App* verb(CLI::App& app, const char* name, const std::string& description, int* exitCode,
               const std::shared_ptr<IgnoreArguments>& arguments, int (*run)(const IgnoreArguments&)) {
    CLI::App* command = app.add_subcommand(name, description);
    command->callback([arguments, exitCode, run] {
        try {
            *exitCode = run(*arguments);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vantreel: %s\n", error.what());
            *exitCode = kExitFailure;
        }
    });
    return command;
}

}  // namespace

std::string ignoreKey(const AllUpdateRow& row) {
    return row.kind == AllUpdateRow::Kind::Application && !row.bundleIdentifier.empty() ? row.bundleIdentifier : row.id;
}

void addIgnoreCommands(CLI::App& app, int* exitCode) {
    auto ignoreArguments = std::make_shared<IgnoreArguments>();
    CLI::App* ignoreCommand = verb(app, "ignore", localized("help.ignore"), exitCode, ignoreArguments, ignore);
    ignoreCommand->add_option("items", ignoreArguments->items, localized("help.option.items"))->required()->type_name("ID");
    setExamples(*ignoreCommand, {"vantreel ignore npm:corepack", "vantreel ignore app:com.example.editor cask:firefox"});

    auto unignoreArguments = std::make_shared<IgnoreArguments>();
    CLI::App* unignoreCommand = verb(app, "unignore", localized("help.unignore"), exitCode, unignoreArguments, unignore);
    unignoreCommand->add_option("items", unignoreArguments->items, localized("help.option.items"))->required()->type_name("ID");
    setExamples(*unignoreCommand, {"vantreel unignore npm:corepack"});

    auto skipArguments = std::make_shared<IgnoreArguments>();
    CLI::App* skipCommand = verb(app, "skip", localized("help.skip"), exitCode, skipArguments, skip);
    skipCommand->add_option("item", skipArguments->items, localized("help.option.item"))->required()->expected(1)->type_name("ID");
    skipCommand->add_option("--version", skipArguments->version, localized("help.option.skip_version"))->type_name("VERSION");
    setExamples(*skipCommand, {"vantreel skip brew:node", "vantreel skip brew:node --version 22.1.0"});

    auto snoozeArguments = std::make_shared<IgnoreArguments>();
    CLI::App* snoozeCommand = verb(app, "snooze", localized("help.snooze"), exitCode, snoozeArguments, snooze);
    snoozeCommand->add_option("item", snoozeArguments->items, localized("help.option.item"))->required()->expected(1)->type_name("ID");
    snoozeCommand->add_option("--until", snoozeArguments->until, localized("help.option.until"))->type_name("DATE");
    snoozeCommand->add_option("--for", snoozeArguments->forDuration, localized("help.option.for"))->type_name("DURATION");
    snoozeCommand->add_flag("--indefinitely", snoozeArguments->indefinitely, localized("help.option.indefinitely"));
    setExamples(*snoozeCommand, {"vantreel snooze pip:requests --for 7d", "vantreel snooze apt:libc6 --until 2026-12-31"});

    auto unsnoozeArguments = std::make_shared<IgnoreArguments>();
    CLI::App* unsnoozeCommand = verb(app, "unsnooze", localized("help.unsnooze"), exitCode, unsnoozeArguments, unsnooze);
    unsnoozeCommand->add_option("item", unsnoozeArguments->items, localized("help.option.item"))->required()->expected(1)->type_name("ID");
    setExamples(*unsnoozeCommand, {"vantreel unsnooze pip:requests"});

    auto ignoredArguments = std::make_shared<IgnoreArguments>();
    CLI::App* ignoredCommand = verb(app, "ignored", localized("help.ignored"), exitCode, ignoredArguments, listIgnored);
    CLI::Option* json = ignoredCommand->add_flag("--json", ignoredArguments->json, localized("help.option.json"));
    ignoredCommand->add_flag("--ids", ignoredArguments->ids, localized("help.option.ids"))->excludes(json);
    setExamples(*ignoredCommand, {"vantreel ignored", "vantreel ignored --json"});
}

}  // namespace vt::cli
