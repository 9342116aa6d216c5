#include "cli/RulesCommand.hpp"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/ResultsView.hpp"
#include "cli/TextTable.hpp"
#include "cli/Output.hpp"
#include "managers/BaseManager.hpp"
#include "managers/PackageManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "sources/rules/KnownIssuesRegistry.hpp"
#include "sources/rules/RuleDiscovery.hpp"
#include "sources/UpdateCheckCoordinator.hpp"
#include "system/CommandRunner.hpp"

namespace vt::cli {

namespace {

struct RulesArguments {
    std::string app;
    bool json = false;
    std::string github, sparkle, cask, generic, mechanism = "custom";
    bool manual = false;
    bool noVerify = false;
};

// Every document carries the schema version first.
void printJson(const Json& json) {
    Json document = jsonDocument();
    for (const auto& [key, value] : json.items()) document[key] = value;
    std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
}

// After a rule changed: what the old source answered goes, so the next scan asks the new one.
void forgetChecksOf(const std::string& bundleIdentifier) {
    AppRuleCatalogService::rebuild();
    UpdateRepository& repository = Context::shared().applicationChecks().repository();
    repository.forget(bundleIdentifier);
    repository.flush();
}

// The application an argument names: a bundle on disk, else one of the last scan's
// applications by identifier or name, else a rule of the catalog, else an identifier as given.
std::optional<RuleDiscoveryAppContext> resolveApp(const std::string& argument) {
    RuleDiscoveryAppContext context;
    const std::string trimmed = trim(argument);
    if (trimmed.empty()) return std::nullopt;
    const bool looksLikePath = trimmed.find('/') != std::string::npos;
    std::optional<BundleCandidate> bundle =
        looksLikePath || toLower(trimmed).ends_with(".app") ? readBundle(trimmed) : std::nullopt;
    if (looksLikePath && (!bundle || bundle->bundleIdentifier.empty())) return std::nullopt;
    if (bundle && !bundle->bundleIdentifier.empty()) {
        context.name = bundle->name;
        context.bundleIdentifier = bundle->bundleIdentifier;
        context.bundlePath = bundle->path.empty() ? trimmed : bundle->path;
        context.installedVersion = bundle->version;
        context.sparkleFeedURL = bundle->sparkleAppcastURL;
        return context;
    }
    const std::string wanted = normalizeAppName(trimmed);
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundleIdentifier == trimmed ||
            (!wanted.empty() && normalizeAppName(application.name) == wanted)) {
            context.name = application.name;
            context.bundleIdentifier = application.bundleIdentifier;
            context.bundlePath = application.bundlePath;
            context.installedVersion = application.version;
            context.sparkleFeedURL = application.sparkleAppcastURL;
            return context;
        }
    }
    if (auto match = AppRuleCatalogService::shared()->lookup(trimmed, trimmed)) {
        context.name = match->rule.displayName;
        context.bundleIdentifier = match->rule.bundleIdentifier;
        return context;
    }
    // An identifier the inventory does not list (yet): reverse-DNS, no spaces.
    if (trimmed.find('.') != std::string::npos && trimmed.find(' ') == std::string::npos) {
        context.name = trimmed;
        context.bundleIdentifier = trimmed;
        return context;
    }
    return std::nullopt;
}

std::optional<RuleDiscoveryAppContext> resolveOrComplain(const std::string& verb, const std::string& argument) {
    auto context = resolveApp(argument);
    if (!context) {
        std::fprintf(stderr, "vantreel rules %s: %s\n", verb.c_str(), localized("rules.no_application", {argument}).c_str());
    }
    return context;
}

RuleDiscoveryService discoveryService() {
    Context& context = Context::shared();
    RuleDiscoveryService::Options options;
    options.network = &context.network();
    options.runner = &CommandRunner::shared();
    DefaultsStore& store = context.defaults();
    options.gitHubToken = [&store] {
        return gitHubToken([&store] { return store.stringValue(GitHubReleasesManager::kLegacyTokenKey); });
    };
    if (BaseManager* brew = context.packageManager().adapter("homebrew")) {
        try {
            if (brew->discover() && !brew->binaryPath().empty()) options.brewPath = brew->binaryPath();
        } catch (const std::exception&) {
            // No Homebrew: casks are proposed from the index but not verified.
        }
    }
    options.caskIndex = context.caskIndexLoader();
    return RuleDiscoveryService(std::move(options));
}

Json ruleJson(const CatalogMatch& match) {
    Json json = toJson(match.rule);
    json["origin"] = match.isLocal ? "local" : "seed";
    // A note the program wrote is kept as its key, and read in the reader's language.
    if (match.rule.notes && localized(*match.rule.notes) != *match.rule.notes) json["notes"] = localized(*match.rule.notes);
    return json;
}

int list(const RulesArguments& arguments) {
    auto catalog = AppRuleCatalogService::shared();
    std::vector<CatalogMatch> rules = catalog->all();
    if (arguments.json) {
        Json out = Json::array();
        for (const CatalogMatch& match : rules) out.push_back(ruleJson(match));
        printJson(Json{{"rules", std::move(out)}});
        return kExitSuccess;
    }
    TextTable table({{localized("table.column.name"), Column::Elide::End, 10, 0},
                     {localized("table.column.source"), Column::Elide::End, 6, 0},
                     {localized("rules.column.detail"), Column::Elide::Middle, 12, 2},
                     {localized("apps.column.identifier"), Column::Elide::Middle, 12, 1},
                     {localized("rules.column.origin"), Column::Elide::Never, 0, 3}});
    for (const CatalogMatch& match : rules) {
        table.add({oneLine(match.rule.displayName), std::string(rawValue(match.rule.primarySource)),
                   oneLine(ruleSourceDetail(match.rule)), Cell(match.rule.bundleIdentifier, Tone::Dim),
                   match.isLocal ? Cell(localized("rules.local"), Tone::Green) : Cell("")});
    }
    std::fputs(table.render(Style::forStream(stdout), outputWidth()).c_str(), stdout);
    std::printf("%s\n", localized("rules.count", {std::to_string(rules.size())}).c_str());
    return kExitSuccess;
}

int show(const RulesArguments& arguments) {
    auto context = resolveOrComplain("show", arguments.app);
    if (!context) return kExitUsage;  // no such application, as an unknown id elsewhere
    auto match = AppRuleCatalogService::shared()->lookup(context->bundleIdentifier, context->name);
    auto issue = KnownIssuesRegistry::shared().issue(context->bundleIdentifier);
    if (!match) {
        std::fprintf(stderr, "vantreel rules show: %s\n",
                     localized("rules.no_rule", {context->name, context->bundleIdentifier}).c_str());
        return kExitFailure;
    }
    Json json = ruleJson(*match);
    if (issue) {
        Json flags = Json::array();
        if (issue->has(KnownAppFlag::AutoUpdates)) flags.push_back("auto_updates");
        if (issue->has(KnownAppFlag::RequiresUserChoice)) flags.push_back("requires_user_choice");
        if (issue->has(KnownAppFlag::Problematic)) flags.push_back("problematic");
        json["knownIssues"] = std::move(flags);
    }
    printJson(json);
    return kExitSuccess;
}

Json draftJson(const VerifiedRuleDraft& draft) {
    const RuleDiscoveryCandidate& candidate = draft.candidate;
    Json json{{"id", candidate.id},
              {"sourceType", std::string(rawValue(candidate.sourceType))},
              {"title", candidate.title},
              {"detail", candidate.detail},
              {"heuristicScore", candidate.heuristicScore},
              {"provenance", candidate.provenance == RuleCandidateProvenance::Heuristic ? "heuristic" : "userSubmitted"},
              {"status", std::string(rawValue(draft.status))},
              {"message", draft.message}};
    if (draft.remoteVersion) json["remoteVersion"] = *draft.remoteVersion;
    return json;
}

int discover(const RulesArguments& arguments) {
    auto context = resolveOrComplain("discover", arguments.app);
    if (!context) return kExitUsage;  // no such application, as an unknown id elsewhere
    RuleDiscoveryService service = discoveryService();
    std::vector<VerifiedRuleDraft> drafts;
    for (const RuleDiscoveryCandidate& candidate : service.candidates(*context)) {
        drafts.push_back(service.verify(candidate, context->installedVersion));
    }
    if (arguments.json) {
        Json out = Json::array();
        for (const VerifiedRuleDraft& draft : drafts) out.push_back(draftJson(draft));
        printJson(Json{{"bundleIdentifier", context->bundleIdentifier}, {"candidates", std::move(out)}});
        return kExitSuccess;
    }
    std::printf("%s (%s) %s\n", context->name.c_str(), context->bundleIdentifier.c_str(),
                localized("rule_discovery.candidates_found", {std::to_string(drafts.size())}).c_str());
    for (const VerifiedRuleDraft& draft : drafts) {
        char score[32];
        std::snprintf(score, sizeof score, "%.2f  ", draft.candidate.heuristicScore);
        std::string line = score;
        line += padRight(rawValue(draft.candidate.sourceType), 13);
        line += padRight(draft.candidate.title, 40);
        line += localized(draft.message);
        if (draft.remoteVersion) {
            line += " (";
            line += *draft.remoteVersion;
            line += ")";
        }
        std::printf("%s\n", line.c_str());
    }
    return kExitSuccess;
}

// The one source option given, as a candidate type and its text; nothing when not exactly one.
int chosenSources(const RulesArguments& arguments) {
    return static_cast<int>(!arguments.github.empty()) + static_cast<int>(!arguments.sparkle.empty()) +
           static_cast<int>(!arguments.cask.empty()) + static_cast<int>(!arguments.generic.empty()) +
           static_cast<int>(arguments.manual);
}

int addGeneric(const RulesArguments& arguments, const RuleDiscoveryAppContext& context) {
    const std::string address = trim(arguments.generic);
    const std::string lower = toLower(address);
    if (!(lower.starts_with("http://") || lower.starts_with("https://")) || address.find(' ') != std::string::npos) {
        std::fprintf(stderr, "vantreel rules add: %s\n", localized("rules.generic_address").c_str());
        return kExitUsage;
    }
    AppUpdateRule rule;
    rule.bundleIdentifier = context.bundleIdentifier;
    rule.displayName = context.name;
    GenericUpdaterRuleConfig generic;
    generic.mechanism = genericUpdateMechanismFromRaw(arguments.mechanism).value_or(GenericUpdateMechanism::Custom);
    generic.updateURL = address;
    rule.primarySource = generic.mechanism == GenericUpdateMechanism::Electron ? AppRulePrimarySource::Electron
                                                                               : AppRulePrimarySource::GenericUpdater;
    rule.genericUpdater = generic;
    rule.notes = "rule_discovery.rule_note";
    rule.normalizedNames = normalizedNamesOf(rule);
    std::optional<std::string> remote;
    if (!arguments.noVerify) {
        GenericUpdaterApp app;
        app.id = context.bundlePath.empty() ? context.bundleIdentifier : context.bundlePath;
        app.name = context.name;
        app.bundlePath = context.bundlePath;
        app.bundleIdentifier = context.bundleIdentifier;
        app.currentVersion = context.installedVersion;
        app.updateMechanism = generic.mechanism;
        app.updateURL = address;
        app.addressFromBundle = true;  // typed by the user: checked like a bundle's own address
        auto checked = GenericUpdaterManager::shared().check(app);
        if (!checked || !checked->latestVersion) {
            std::fprintf(stderr, "vantreel rules add: %s\n", localized("rules.no_version", {address}).c_str());
            return kExitFailure;
        }
        remote = checked->latestVersion;
    }
    LocalRuleOverrideStore store(LocalRuleOverrideStore::defaultPath());
    store.put(rule);
    forgetChecksOf(rule.bundleIdentifier);
    std::string latest;
    if (remote) latest = localized("rules.latest", {*remote});
    std::printf("%s\n", localized("rules.saved", {context.name, context.bundleIdentifier, ruleSourceDetail(rule) + latest}).c_str());
    return kExitSuccess;
}

int add(const RulesArguments& arguments) {
    if (chosenSources(arguments) != 1) {
        std::fprintf(stderr, "vantreel rules add: %s\n", localized("rules.one_source").c_str());
        return kExitUsage;
    }
    auto context = resolveOrComplain("add", arguments.app);
    if (!context) return kExitUsage;  // no such application, as an unknown id elsewhere
    if (!arguments.generic.empty()) return addGeneric(arguments, *context);
    RuleCandidateSourceType type = RuleCandidateSourceType::Manual;
    std::string input;
    if (!arguments.github.empty()) {
        type = RuleCandidateSourceType::GitHub;
        input = arguments.github;
    } else if (!arguments.sparkle.empty()) {
        type = RuleCandidateSourceType::Sparkle;
        input = arguments.sparkle;
    } else if (!arguments.cask.empty()) {
        type = RuleCandidateSourceType::HomebrewCask;
        input = arguments.cask;
    }
    ManualRuleParse parsed = RuleDiscoveryService::parseManualInput(type, input);
    if (!parsed.candidate) {
        std::fprintf(stderr, "vantreel rules add: %s\n",
                     localized(messageKey(parsed.error.value_or(ManualRuleSourceParseError::EmptyInput))).c_str());
        return kExitUsage;
    }
    VerifiedRuleDraft draft;
    draft.candidate = *parsed.candidate;
    if (!arguments.noVerify) {
        draft = discoveryService().verify(*parsed.candidate, context->installedVersion);
        if (draft.status == RuleVerifyStatus::Failed) {
            std::fprintf(stderr, "vantreel rules add: %s\n", localized("rules.not_saved", {localized(draft.message)}).c_str());
            return kExitFailure;
        }
    }
    LocalRuleOverrideStore store(LocalRuleOverrideStore::defaultPath());
    AppUpdateRule rule = RuleDiscoveryService::apply(*context, draft, store);
    forgetChecksOf(rule.bundleIdentifier);
    std::string outcome;
    if (draft.status != RuleVerifyStatus::NotRun) {
        outcome = punctuated(" — ");
        outcome += localized(draft.message);
        if (draft.remoteVersion) {
            outcome += " (";
            outcome += *draft.remoteVersion;
            outcome += ")";
        }
    }
    std::printf("%s\n",
                localized("rules.saved", {context->name, context->bundleIdentifier, ruleSourceDetail(rule) + outcome}).c_str());
    return kExitSuccess;
}

int remove(const RulesArguments& arguments) {
    auto context = resolveOrComplain("remove", arguments.app);
    if (!context) return kExitUsage;  // no such application, as an unknown id elsewhere
    LocalRuleOverrideStore store(LocalRuleOverrideStore::defaultPath());
    if (!store.remove(context->bundleIdentifier)) {
        std::fprintf(stderr, "vantreel rules remove: %s\n", localized("rules.no_local", {context->bundleIdentifier}).c_str());
        return kExitFailure;
    }
    forgetChecksOf(context->bundleIdentifier);
    std::printf("%s\n", localized("rules.removed", {context->bundleIdentifier}).c_str());
    return kExitSuccess;
}

CLI::App* verb(CLI::App& parent, const char* name, const std::string& description, int* exitCode,
               const std::shared_ptr<RulesArguments>& arguments, int (*run)(const RulesArguments&)) {
    CLI::App* command = parent.add_subcommand(name, description);
    command->callback([arguments, exitCode, run] {
        try {
            *exitCode = run(*arguments);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vantreel rules: %s\n", error.what());
            *exitCode = kExitFailure;
        }
    });
    return command;
}

}  // namespace

void addRulesCommand(CLI::App& app, int* exitCode) {
    CLI::App* rules = app.add_subcommand("rules", localized("help.rules"));
    rules->require_subcommand(1);
    setExamples(*rules, {"vantreel rules list", "vantreel rules show com.example.editor"});
    auto arguments = std::make_shared<RulesArguments>();
    const std::string appHelp = localized("help.option.rule_app");
    CLI::App* listCommand = verb(*rules, "list", localized("help.rules_list"), exitCode, arguments, list);
    listCommand->add_flag("--json", arguments->json, localized("help.option.json"));
    setExamples(*listCommand, {"vantreel rules list --json"});
    CLI::App* showCommand = verb(*rules, "show", localized("help.rules_show"), exitCode, arguments, show);
    showCommand->add_option("app", arguments->app, appHelp)->required()->type_name("APP");
    setExamples(*showCommand, {"vantreel rules show com.example.editor"});
    CLI::App* discoverCommand = verb(*rules, "discover", localized("help.rules_discover"), exitCode, arguments, discover);
    discoverCommand->add_option("app", arguments->app, appHelp)->required()->type_name("APP");
    discoverCommand->add_flag("--json", arguments->json, localized("help.option.json"));
    setExamples(*discoverCommand, {"vantreel rules discover \"Example Editor\""});
    CLI::App* addCommand = verb(*rules, "add", localized("help.rules_add"), exitCode, arguments, add);
    addCommand->add_option("app", arguments->app, appHelp)->required()->type_name("APP");
    addCommand->add_option("--github", arguments->github, localized("help.option.rule_github"))->type_name("OWNER/REPO");
    addCommand->add_option("--sparkle", arguments->sparkle, localized("help.option.rule_sparkle"))->type_name("URL");
    addCommand->add_option("--cask", arguments->cask, localized("help.option.rule_cask"))->type_name("TOKEN");
    addCommand->add_option("--generic", arguments->generic, localized("help.option.rule_generic"))->type_name("URL");
    addCommand->add_option("--mechanism", arguments->mechanism, localized("help.option.rule_mechanism"))
        ->type_name("electron|tauri|custom")
        ->check(CLI::Validator(
            [](std::string& value) {
                if (value == "electron" || value == "tauri" || value == "custom") return std::string();
                return localized("rules.bad_mechanism", {value});
            },
            ""));
    addCommand->add_flag("--manual", arguments->manual, localized("help.option.rule_manual"));
    addCommand->add_flag("--no-verify", arguments->noVerify, localized("help.option.no_verify"));
    setExamples(*addCommand, {"vantreel rules add com.example.editor --github example/editor"});
    CLI::App* removeCommand = verb(*rules, "remove", localized("help.rules_remove"), exitCode, arguments, remove);
    removeCommand->add_option("app", arguments->app, appHelp)->required()->type_name("APP");
    setExamples(*removeCommand, {"vantreel rules remove com.example.editor"});
}

}  // namespace vt::cli
