#include "cli/AdoptCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <memory>
#include <set>
#include <string>

#include <CLI/CLI.hpp>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/ProcessLock.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "core/PersistedUIState.hpp"
#include "managers/PackageManager.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "system/BrewAPIClient.hpp"
#include "system/CommandRunner.hpp"

namespace vt::cli {

namespace {

struct AdoptRequest {
    bool list = false;
    bool json = false;
    bool all = false;
    std::vector<std::string> ids;
    std::vector<std::string> exclude;
    std::vector<std::string> include;
    ChangeFlags change;
};

const Logger& logger() {
    static const Logger instance("Adopt");
    return instance;
}

BrewManager* brewAdapter() {
    return dynamic_cast<BrewManager*>(Context::shared().packageManager().adapter("homebrew"));
}

// Adoption hands an application over to brew: without it there is nothing to search for.
bool brewFound(std::stop_token stop = {}) {
    BrewManager* brew = brewAdapter();
    return brew != nullptr && brew->discover(stop);
}

// Held by the process that adopts, so that a scan elsewhere leaves the list alone meanwhile.
std::string adoptionLockPath() { return paths::supportFolder() + "/adopt.lock"; }

void keepActivities(const std::vector<ActivityRecord>& records) {
    if (records.empty()) return;
    try {
        PersistedUIState::mergeActivity(Context::shared().state(), records, 100);
    } catch (const std::exception& error) {
        logger().warning(localized("log.adopt.activity_not_kept", {error.what()}));
    }
}

// Adoption as this run does it: brew through the shared runner, root work through the
// program's privileged operations, the upgrade through the Homebrew adapter.
HomebrewAdopter makeAdopter(std::vector<ActivityRecord>& activities) {
    HomebrewAdopter::Options options;
    options.runner = &CommandRunner::shared();
    options.privileged = &Context::shared().privilegedOperations();
    options.recordActivity = [&activities](ActivityRecord record) { activities.push_back(std::move(record)); };
    options.upgradeCask = [](const AdoptableApp& app, std::stop_token stop) {
        BrewManager* brew = brewAdapter();
        if (brew == nullptr) throw std::runtime_error(localized("adopt.no_homebrew"));
        brew->upgrade(Package{.name = app.caskToken, .version = app.installedVersion, .type = PackageType::BrewCask,
                              .latestVersion = app.caskVersion},
                      {}, stop);
    };
    return HomebrewAdopter(std::move(options));
}

// Whether a search may write what it finds: its list, the cask index and the metadata of
// the bundles it read. Not before the user agreed to a change.
enum class Keep { Nothing, Findings };

std::shared_ptr<const BrewAPIClient::CaskIndex> caskIndex(Keep keep, std::stop_token stop) {
    BrewManager* brew = brewAdapter();
    if (brew == nullptr) return nullptr;
    // The shared client stores every new index it receives; one without a cache folder stores nothing.
    std::optional<BrewAPIClient> unstored;
    if (keep == Keep::Nothing) {
        if (auto loaded = brew->apiClient().caskIndex()) return loaded;
        unstored.emplace(Context::shared().network());
    }
    BrewAPIClient& client = unstored ? *unstored : brew->apiClient();
    try {
        client.refreshCaskIndex(stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        // The index kept from an earlier run still serves.
        logger().warning(localized("log.adopt.cask_index_failed", {error.what()}));
    }
    return client.caskIndex();
}

// The installed applications as the last scan saved them, else as a scan finds them now
// (which keeps the bundles' metadata only when it may write).
std::vector<Application> installedApplications(Keep keep, std::stop_token stop) {
    Context& context = Context::shared();
    ApplicationManager& inventory = context.applications();
    std::vector<Application> applications = inventory.applications();
    if (!applications.empty()) return applications;
    if (keep == Keep::Findings) return inventory.scanApplications(stop);
    return context.scanApplicationsWithoutKeeping(stop);
}

// Searches afresh and, when it may, saves what it found, so that the table shows it.
AdoptableSearch searchAdoptable(HomebrewAdopter& adopter, Keep keep, std::stop_token stop) {
    Context& context = Context::shared();
    std::vector<Application> applications = installedApplications(keep, stop);
    std::shared_ptr<const BrewAPIClient::CaskIndex> casks = caskIndex(keep, stop);
    std::set<std::string> installed = adopter.installedCasks(stop);
    std::vector<std::string> excludedList = context.settings().excludedAdoptableApps();
    std::set<std::string> excluded(excludedList.begin(), excludedList.end());
    AdoptableSearch search = findAdoptableApps(applications, casks.get(), installed, excluded);
    std::vector<PersistedAdoptableApp> saved;
    for (const AdoptableApp& app : search.apps) saved.push_back(persistedForm(app));
    if (search.hadCaskData && keep == Keep::Findings) context.persistence().saveAdoptableApps(saved);
    return search;
}

Json appJson(const AdoptableApp& app) {
    return Json{{"id", app.id},
                {"name", app.name},
                {"path", app.path},
                {"caskToken", app.caskToken},
                {"caskVersion", app.caskVersion},
                {"installedVersion", app.installedVersion},
                {"sourceKind", rawValue(app.sourceKind)},
                {"matchConfidence", rawValue(app.matchConfidence)},
                {"matchScore", confidenceScore(app.matchConfidence)}};
}

int printList(const AdoptableSearch& search, bool asJson) {
    if (asJson) {
        Json apps = Json::array();
        for (const AdoptableApp& app : search.apps) apps.push_back(appJson(app));
        Json document = jsonDocument();
        document["adoptable"] = std::move(apps);
        writeAll(stdout, dumpJson(document, jsonIndentForStandardOutput()) + "\n");
        return kExitSuccess;
    }
    if (search.apps.empty()) {
        writeAll(stdout, localized("adopt.list.empty") + "\n");
        return kExitSuccess;
    }
    Style style = Style::forStream(stdout);
    std::string text;
    for (const AdoptableApp& app : search.apps) {
        std::string labels = "(";
        labels += localized(labelKey(app.matchConfidence));
        labels += ", ";
        labels += localized(labelKey(app.sourceKind));
        labels += ")";
        text += style.bold(app.name) + "  " + app.installedVersion + punctuated(" → ") + app.caskVersion + "  " +
                localized("adopt.list.cask", {app.caskToken}) + "  " + style.dim(labels) + "\n  vantreel adopt " + app.id +
                "\n";
    }
    writeAll(stdout, text);
    return kExitSuccess;
}

std::string resultText(const AdoptableApp& app, AdoptionResult result) {
    switch (result) {
        case AdoptionResult::Adopted: return localized("adopt.success_activity", {app.name});
        case AdoptionResult::AlreadyManaged: return localized("adopt.activity.already_managed.title", {app.name});
        case AdoptionResult::Cancelled: return app.name + ": " + localized("refresh.cancelled");
        case AdoptionResult::Failed: break;
    }
    return app.name + ": " + app.failureMessage;
}

// Applications adopted or found managed leave the saved list.
void dropFromSaved(const std::set<std::string>& ids) {
    std::vector<PersistedAdoptableApp> saved = Context::shared().persistence().loadAdoptableApps();
    std::erase_if(saved, [&ids](const PersistedAdoptableApp& app) { return ids.contains(app.id); });
    Context::shared().persistence().saveAdoptableApps(saved);
}

std::string withoutPrefix(std::string id) {
    if (id.starts_with("adoptable:")) id.erase(0, std::string_view("adoptable:").size());
    return id;
}

// The applications a request names, from `apps`; the first unknown identifier, if any.
std::vector<AdoptableApp> chosenFrom(const AdoptRequest& request, const std::vector<AdoptableApp>& apps,
                                     std::optional<std::string>& unknown) {
    if (request.all) return apps;
    std::vector<AdoptableApp> chosen;
    for (const std::string& argument : request.ids) {
        const std::string id = withoutPrefix(argument);
        auto found = std::find_if(apps.begin(), apps.end(), [&id](const AdoptableApp& app) { return app.id == id; });
        if (found == apps.end()) {
            if (!unknown) unknown = id;
            continue;
        }
        chosen.push_back(*found);
    }
    return chosen;
}

void printAdoptionPlan(std::FILE* stream, const std::vector<AdoptableApp>& chosen) {
    const Style style = Style::forStream(stream);
    std::fprintf(stream, "%s\n", style.bold(localized("adopt.plan_title", {std::to_string(chosen.size())})).c_str());
    for (const AdoptableApp& app : chosen) {
        std::fprintf(stream, "  %s %s%scask %s %s  %s\n", app.name.c_str(), app.installedVersion.c_str(),
                     punctuated(" → ").c_str(), app.caskToken.c_str(), app.caskVersion.c_str(),
                     style.dim(app.path).c_str());
    }
}

// The plan (none adopted yet) or what the run did, as a document like every other.
std::string adoptionDocument(const std::vector<AdoptableApp>& chosen) {
    Json results = Json::array();
    for (const AdoptableApp& app : chosen) {
        Json entry = appJson(app);
        entry["adopted"] = app.state == AdoptableApp::State::Done;
        if (app.state == AdoptableApp::State::Failed) entry["error"] = app.failureMessage;
        results.push_back(std::move(entry));
    }
    Json document = jsonDocument();
    document["results"] = std::move(results);
    return dumpJson(document, jsonIndentForStandardOutput()) + "\n";
}

int adoptChosen(const AdoptRequest& request) {
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    std::vector<ActivityRecord> activities;
    HomebrewAdopter adopter = makeAdopter(activities);
    // The plan comes from the list saved by the last search, which runs nothing; only what it
    // does not know is searched for now, writing nothing until the user agrees.
    std::optional<std::string> unknown;
    std::vector<AdoptableApp> saved = savedAdoptableApps();
    std::vector<AdoptableApp> chosen = chosenFrom(request, saved, unknown);
    if (unknown || (request.all && saved.empty())) {
        unknown.reset();
        chosen = chosenFrom(request, searchAdoptable(adopter, Keep::Nothing, stop.get_token()).apps, unknown);
    }
    if (unknown) {
        std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.list.unknown_id", {*unknown}).c_str());
        return kExitUsage;
    }
    if (chosen.empty()) {
        writeAll(stdout, request.json ? adoptionDocument(chosen) : localized("adopt.list.empty") + "\n");
        return kExitSuccess;
    }
    if (request.json && request.change.dryRun) {
        writeAll(stdout, adoptionDocument(chosen));
        return kExitSuccess;
    }
    printAdoptionPlan(request.json ? stderr : stdout, chosen);
    const Consent consent =
        askConsent(request.change, "adopt", localized("adopt.confirm", {std::to_string(chosen.size())}));
    if (consent != Consent::Go) return exitStatusOf(consent);
    // Taken only now: a rehearsal or a refusal leaves not even the lock file behind.
    ProcessLock adopting = ProcessLock::tryAcquire(adoptionLockPath(), ProcessLock::Mode::Exclusive);
    if (!adopting.isHeld()) {
        std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.busy").c_str());
        return kExitFailure;
    }

    // The plan may be out of date: each application is adopted only if a search now still
    // finds it adoptable through the same cask at the same version, as brew installs the
    // cask's version of the moment.
    const AdoptableSearch now = searchAdoptable(adopter, Keep::Findings, stop.get_token());
    std::vector<AdoptableApp> confirmed;
    for (const AdoptableApp& planned : chosen) {
        auto found = std::find_if(now.apps.begin(), now.apps.end(),
                                  [&planned](const AdoptableApp& app) { return app.id == planned.id; });
        if (found == now.apps.end()) {
            std::fprintf(stderr, "%s\n", localized("adopt.no_longer_adoptable", {planned.name}).c_str());
        } else if (found->caskToken != planned.caskToken || found->caskVersion != planned.caskVersion) {
            std::fprintf(stderr, "%s\n",
                         localized("adopt.plan_changed", {planned.name, found->caskToken, found->caskVersion,
                                                          planned.caskToken, planned.caskVersion})
                             .c_str());
        } else {
            confirmed.push_back(*found);  // what only a fresh search knows (a renamed bundle) comes along
        }
    }
    // One the plan named but that was left out is not done: the run did not do all it showed.
    bool failed = confirmed.size() != chosen.size();
    chosen = std::move(confirmed);
    std::set<std::string> finished;
    if (request.all) {
        AdoptAllSummary summary = adopter.adoptAll(chosen, stop.get_token());
        failed = summary.failed > 0 || summary.cancelled > 0;
    } else {
        for (AdoptableApp& app : chosen) {
            if (stop.stop_requested()) break;
            AdoptionResult result = adopter.adopt(app, stop.get_token());
            failed = failed || result == AdoptionResult::Failed || result == AdoptionResult::Cancelled;
        }
    }
    std::string text;
    for (AdoptableApp& app : chosen) {
        if (app.state == AdoptableApp::State::Done) finished.insert(app.id);
        if (app.state == AdoptableApp::State::Failed) {
            text += resultText(app, AdoptionResult::Failed) + "\n";
        } else if (app.state == AdoptableApp::State::Done) {
            text += localized("adopt.success_activity", {app.name}) + "\n";
        }
    }
    writeAll(stdout, request.json ? adoptionDocument(chosen) : text);
    dropFromSaved(finished);
    keepActivities(activities);
    if (stop.stop_requested()) return kExitInterrupted;
    return failed ? kExitFailure : kExitSuccess;
}

// Exclusions are kept by identifier; the names come from the saved list where it has them.
int changeExclusions(const AdoptRequest& request) {
    for (const std::vector<std::string>* ids : {&request.exclude, &request.include}) {
        for (const std::string& id : *ids) {
            if (trimView(id).empty()) {
                std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.empty_id").c_str());
                return kExitUsage;
            }
        }
    }
    SettingsManager& settings = Context::shared().settings();
    std::vector<std::string> excluded = settings.excludedAdoptableApps();
    std::vector<std::string> names;
    std::vector<PersistedAdoptableApp> saved = Context::shared().persistence().loadAdoptableApps();
    std::vector<std::string> lines;
    for (const std::string& id : request.exclude) {
        auto found = std::find_if(saved.begin(), saved.end(), [&id](const PersistedAdoptableApp& app) { return app.id == id; });
        const std::string name = found == saved.end() ? id : found->name;
        if (std::find(excluded.begin(), excluded.end(), id) != excluded.end()) {
            lines.push_back(localized("adopt.already_excluded", {name}));
            continue;
        }
        excluded.push_back(id);
        names.push_back(name);
        lines.push_back(localized("adopt.excluded_detail_one", {name}));
    }
    for (const std::string& id : request.include) {
        lines.push_back(localized(std::erase(excluded, id) > 0 ? "adopt.included" : "adopt.not_excluded", {id}));
    }
    settings.setExcludedAdoptableApps(excluded);
    const std::size_t dropped = std::erase_if(saved, [&request](const PersistedAdoptableApp& app) {
        return std::find(request.exclude.begin(), request.exclude.end(), app.id) != request.exclude.end();
    });
    if (dropped > 0) Context::shared().persistence().saveAdoptableApps(saved);
    if (!names.empty()) keepActivities({HomebrewAdopter::exclusionActivity(names, Clock::shared().now())});
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return kExitSuccess;
}

int adopt(const AdoptRequest& request) {
    const int actions = (request.list ? 1 : 0) + (request.all ? 1 : 0) + (request.ids.empty() ? 0 : 1) +
                        (request.exclude.empty() && request.include.empty() ? 0 : 1);
    if (actions != 1) {
        std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.one_action").c_str());
        return kExitUsage;
    }
    // Listing and exclusions change no application: there is nothing to confirm or rehearse.
    const bool adopts = request.all || !request.ids.empty();
    if (!adopts && (request.change.yes || request.change.dryRun)) {
        std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.change_flags_need_adoption").c_str());
        return kExitUsage;
    }
    if (!request.exclude.empty() || !request.include.empty()) {
        if (request.json) {
            std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.exclusions_no_json").c_str());
            return kExitUsage;
        }
    }
    try {
        if (!request.exclude.empty() || !request.include.empty()) return changeExclusions(request);
        if (!brewFound()) {
            std::fprintf(stderr, "vantreel adopt: %s\n", localized("adopt.no_homebrew").c_str());
            return kExitFailure;
        }
        if (request.list) {
            std::stop_source stop;
            InterruptWatcher watcher([&stop] { stop.request_stop(); });
            std::vector<ActivityRecord> unused;
            HomebrewAdopter adopter = makeAdopter(unused);
            return printList(searchAdoptable(adopter, Keep::Findings, stop.get_token()), request.json);
        }
        return adoptChosen(request);
    } catch (const CancellationError&) {
        return kExitInterrupted;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel adopt: %s\n", error.what());
        return kExitFailure;
    }
}

}  // namespace

PersistedAdoptableApp persistedForm(const AdoptableApp& app) {
    return {app.id,          app.name,           app.path,
            app.caskToken,   app.caskVersion,    app.installedVersion,
            std::string(rawValue(app.sourceKind)), std::string(rawValue(app.matchConfidence))};
}

AdoptableApp adoptableFrom(const PersistedAdoptableApp& saved) {
    AdoptableApp app;
    app.id = saved.id;
    app.name = saved.name;
    app.path = saved.path;
    app.caskToken = saved.caskToken;
    app.caskVersion = saved.caskVersion;
    app.installedVersion = saved.installedVersion;
    app.sourceKind = adoptableSourceKindFrom(saved.sourceKindRawValue).value_or(AdoptableSourceKind::Unknown);
    app.matchConfidence =
        adoptableMatchConfidenceFrom(saved.matchConfidenceRawValue).value_or(AdoptableMatchConfidence::Token);
    return app;
}

std::vector<AdoptableApp> savedAdoptableApps() {
    std::vector<AdoptableApp> apps;
    for (const PersistedAdoptableApp& saved : Context::shared().persistence().loadAdoptableApps()) {
        apps.push_back(adoptableFrom(saved));
    }
    return apps;
}

void refreshAdoptableApps(std::stop_token stop) {
    if (!brewFound(stop)) return;
    ProcessLock idle = ProcessLock::tryAcquire(adoptionLockPath(), ProcessLock::Mode::Shared);
    if (!idle.isHeld()) {
        logger().info(localized("log.adopt.refresh_skipped"));
        return;
    }
    try {
        std::vector<ActivityRecord> unused;
        HomebrewAdopter adopter = makeAdopter(unused);
        searchAdoptable(adopter, Keep::Findings, stop);
    } catch (const std::exception& error) {
        // The list saved before stays; the next scan tries again.
        logger().warning(localized("log.adopt.not_refreshed", {error.what()}));
    }
}

void addAdoptCommand(CLI::App& app, int* exitCode) {
    auto request = std::make_shared<AdoptRequest>();
    auto* command = app.add_subcommand("adopt", localized("help.adopt"));
    command->add_flag("--list", request->list, localized("help.option.adopt_list"));
    command->add_flag("--json", request->json, localized("help.option.adopt_json"));
    command->add_flag("--all", request->all, localized("help.option.adopt_all"));
    command->add_option("--exclude", request->exclude, localized("help.option.adopt_exclude"))->type_name("ID");
    command->add_option("--include", request->include, localized("help.option.adopt_include"))->type_name("ID");
    command->add_option("ids", request->ids, localized("help.option.adopt_ids"))->type_name("ID");
    addChangeFlags(*command, request->change, "adopt");
    setExamples(*command, {"vantreel adopt --list", "vantreel adopt --dry-run com.example.editor"});
    command->callback([request, exitCode] { *exitCode = adopt(*request); });
}

}  // namespace vt::cli
