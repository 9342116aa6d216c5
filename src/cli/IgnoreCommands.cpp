#include "cli/IgnoreCommands.hpp"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/UpdatesTable.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "presentation/SkippedVersionStore.hpp"
#include "presentation/SnoozeStore.hpp"
#include "settings/SettingsManager.hpp"

namespace vt::cli {

namespace {

struct IgnoreArguments {
    std::vector<std::string> items;
    std::string version;
    std::string until;
    std::string forDuration;
    bool indefinitely = false;
    bool json = false;
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
    if (matches.empty()) {
        std::fprintf(stderr, "vantreel %s: no item \"%s\" in the last scan (see vantreel list --all)\n", verb.c_str(),
                     argument.c_str());
    } else {
        std::fprintf(stderr, "vantreel %s: \"%s\" names several items; give one of these ids:\n", verb.c_str(),
                     argument.c_str());
        for (const AllUpdateRow* row : matches) std::fprintf(stderr, "  %s  (%s)\n", row->id.c_str(), row->source.c_str());
    }
    return nullptr;
}

// "7d", "12h", "2w", "30m".
std::optional<Clock::Duration> parseDuration(std::string_view text) {
    text = trimView(text);
    if (text.size() < 2) return std::nullopt;
    long long count = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9' || count > 100000) return std::nullopt;
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
        std::printf("%s\n", localized(key, {chosen[i]->name, keys[i]}).c_str());
    }
    return kExitSuccess;
}

// Ends what the user or the program put on an item: an ignore, and a deferral after
// repeated failures (whose failure history goes with it, so that it is tried afresh).
int unignore(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoredAppsManager& ignored = Context::shared().ignoredApps();
    AutoDeferralStore deferrals(Context::shared().settings());
    const std::map<std::string, AutoDeferredUpdate> deferred = deferrals.deferrals();
    struct Target {
        std::string ignoreKey, deferralKey, name;
    };
    std::vector<Target> targets;
    for (const std::string& argument : arguments.items) {
        // An item gone from the inventory is still named by the key it is stored under.
        if (ignored.isIgnored(argument) || deferred.count(argument) > 0) {
            const auto found = deferred.find(argument);
            targets.push_back({argument, argument, found != deferred.end() ? found->second.name : argument});
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
        const bool wasDeferred = deferrals.end(targets[i].deferralKey);
        const char* key = present[i] ? "unignore.done" : wasDeferred ? "unignore.deferral_ended" : "unignore.not_ignored";
        std::printf("%s\n", localized(key, {targets[i].name}).c_str());
    }
    return kExitSuccess;
}

int skip(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    const AllUpdateRow* row = resolveOne("skip", arguments.items.front(), rows);
    if (row == nullptr) return kExitUsage;
    std::string version = arguments.version.empty() ? row->latestVersion.value_or("") : arguments.version;
    if (trimView(version).empty()) {
        std::fprintf(stderr, "vantreel skip: %s has no known latest version; give one with --version\n", row->name.c_str());
        return kExitUsage;
    }
    SkippedVersionStore(Context::shared().settings()).skip(row->id, version);
    std::printf("%s\n", localized("skip.done", {row->name, trim(version)}).c_str());
    return kExitSuccess;
}

int snooze(const IgnoreArguments& arguments) {
    const int given = (arguments.until.empty() ? 0 : 1) + (arguments.forDuration.empty() ? 0 : 1) +
                      (arguments.indefinitely ? 1 : 0);
    if (given != 1) {
        std::fprintf(stderr, "vantreel snooze: give one of --until DATE, --for DURATION or --indefinitely\n");
        return kExitUsage;
    }
    const Clock::TimePoint now = Clock::shared().now();
    std::optional<Clock::TimePoint> until;
    if (!arguments.until.empty()) {
        until = parseDate(arguments.until);
        if (!until) {
            std::fprintf(stderr, "vantreel snooze: \"%s\" is not a date like 2026-12-31 or 2026-12-31T18:00\n",
                         arguments.until.c_str());
            return kExitUsage;
        }
    } else if (!arguments.forDuration.empty()) {
        std::optional<Clock::Duration> duration = parseDuration(arguments.forDuration);
        if (!duration) {
            std::fprintf(stderr, "vantreel snooze: \"%s\" is not a duration like 30m, 12h, 7d or 2w\n",
                         arguments.forDuration.c_str());
            return kExitUsage;
        }
        until = now + *duration;
    }
    if (until && *until <= now) {
        std::fprintf(stderr, "vantreel snooze: %s is already past\n", localDate(*until).c_str());
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
    if (snoozes.all().count(argument) == 0) {
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

Json itemJson(const IgnoredItem& item) {
    Json json = Json::object();
    json["id"] = item.id;
    json["name"] = item.name;
    json["version"] = item.version;
    json["status"] = statusName(item.status.kind);
    if (!item.status.detail.empty()) json["statusDetail"] = item.status.detail;
    if (item.status.kind == IgnoredItem::Status::Kind::Snoozed) {
        json["until"] = item.status.until ? Json(toReferenceSeconds(*item.status.until)) : Json();
    }
    json["label"] = statusLabel(item.status);
    json["source"] = item.source;
    json["icon"] = item.icon;
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
    if (item.settingsIdentifier) json["settingsIdentifier"] = *item.settingsIdentifier;
    return json;
}

int listIgnored(const IgnoreArguments& arguments) {
    std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoreFilter filter(currentIgnoreState(), rows);
    std::vector<IgnoredItem> items = filter.ignoredItems(rows);
    if (arguments.json) {
        Json list = Json::array();
        for (const IgnoredItem& item : items) list.push_back(itemJson(item));
        std::printf("%s\n", dumpJson(list, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (items.empty()) {
        std::printf("%s\n", localized("ignored.none").c_str());
        return kExitSuccess;
    }
    Style style = Style::forStream(stdout);
    std::size_t nameWidth = 4, sourceWidth = 6, statusWidth = 6;
    for (const IgnoredItem& item : items) {
        nameWidth = std::max(nameWidth, displayWidth(item.name));
        sourceWidth = std::max(sourceWidth, displayWidth(item.source));
        statusWidth = std::max(statusWidth, displayWidth(statusLabel(item.status)));
    }
    std::printf("%s\n", style.bold(padRight("NAME", nameWidth) + "  " + padRight("SOURCE", sourceWidth) + "  " +
                                   padRight("STATUS", statusWidth) + "  ID")
                            .c_str());
    for (const IgnoredItem& item : items) {
        std::string line = padRight(item.name, nameWidth);
        line += "  ";
        line += padRight(item.source, sourceWidth);
        line += "  ";
        line += padRight(statusLabel(item.status), statusWidth);
        line += "  ";
        line += item.settingsIdentifier.value_or(item.id);
        std::printf("%s\n", line.c_str());
    }
    return kExitSuccess;
}

CLI::App* verb(CLI::App& app, const char* name, const char* description, int* exitCode,
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
    verb(app, "ignore", "Take items out of the table for good", exitCode, ignoreArguments, ignore)
        ->add_option("items", ignoreArguments->items, "Row ids (see list --json) or names")
        ->required();

    auto unignoreArguments = std::make_shared<IgnoreArguments>();
    verb(app, "unignore", "Show ignored items again", exitCode, unignoreArguments, unignore)
        ->add_option("items", unignoreArguments->items, "Row ids or names")
        ->required();

    auto skipArguments = std::make_shared<IgnoreArguments>();
    CLI::App* skipCommand = verb(app, "skip", "Skip one version of an item; a newer one shows again", exitCode,
                                 skipArguments, skip);
    skipCommand->add_option("item", skipArguments->items, "Row id or name")->required()->expected(1);
    skipCommand->add_option("--version", skipArguments->version, "The version to skip (the latest by default)");

    auto snoozeArguments = std::make_shared<IgnoreArguments>();
    CLI::App* snoozeCommand =
        verb(app, "snooze", "Hide an item until a date, for a while, or indefinitely", exitCode, snoozeArguments, snooze);
    snoozeCommand->add_option("item", snoozeArguments->items, "Row id or name")->required()->expected(1);
    snoozeCommand->add_option("--until", snoozeArguments->until, "A date: 2026-12-31 or 2026-12-31T18:00");
    snoozeCommand->add_option("--for", snoozeArguments->forDuration, "A duration: 30m, 12h, 7d, 2w");
    snoozeCommand->add_flag("--indefinitely", snoozeArguments->indefinitely, "Until unsnoozed");

    auto unsnoozeArguments = std::make_shared<IgnoreArguments>();
    verb(app, "unsnooze", "End a snooze", exitCode, unsnoozeArguments, unsnooze)
        ->add_option("item", unsnoozeArguments->items, "Row id or name")
        ->required()
        ->expected(1);

    auto ignoredArguments = std::make_shared<IgnoreArguments>();
    verb(app, "ignored", "List everything taken out of the table, and why", exitCode, ignoredArguments, listIgnored)
        ->add_flag("--json", ignoredArguments->json, "Print the list as JSON");
}

}  // namespace vt::cli
