#include "cli/UpdateCommand.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "presentation/AutoDeferralStore.hpp"

namespace vt::cli {

namespace {

struct UpdateArguments {
    std::vector<std::string> items;
    bool json = false;
};

// The inventory items an argument names: its stable key, else every item of that name.
std::vector<Package> resolve(const std::string& argument, const std::vector<Package>& inventory) {
    std::vector<Package> byKey, byName;
    std::string lower = toLower(argument);
    for (const Package& package : inventory) {
        if (stableKey(package) == lower) byKey.push_back(package);
        if (toLower(package.name) == lower) byName.push_back(package);
    }
    return byKey.empty() ? byName : byKey;
}

// Failures feed the auto-deferral rules; a success clears an item's history.
template <typename Results>
void recordOutcomes(const Results& results) {
    try {
        AutoDeferralStore deferrals(Context::shared().settings());
        for (const auto& result : results) {
            const Package& package = result.package;
            if (result.success) {
                deferrals.recordSuccess(stableKey(package));
                continue;
            }
            AutoDeferralStore::Failure failure{stableKey(package), package.latestVersion.value_or(""), package.name,
                                               std::string(rawValue(package.type)), result.error.value_or("")};
            deferrals.recordFailure(failure, Clock::shared().now());
        }
    } catch (const std::exception&) {
        // Unwritable preferences: the update's own outcome is what the user reads.
    }
}

int update(const UpdateArguments& arguments, const GlobalOptions& options) {
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    PackageCoordinator& coordinator = Context::shared().coordinator();
    std::vector<Package> inventory = coordinator.packages();
    std::vector<Package> chosen;
    for (const std::string& argument : arguments.items) {
        std::vector<Package> matches = resolve(argument, inventory);
        if (matches.empty()) {
            // A row of the table this program does not update: say how it is updated.
            std::vector<const AllUpdateRow*> rows = resolveRows(argument, everyRow(savedSnapshot()));
            if (rows.size() == 1) {
                const AllUpdateRow& row = *rows.front();
                std::string how = row.downloadURL ? std::string("download ") + *row.downloadURL : std::string("update it by hand");
                std::fprintf(stderr, "vantreel update: %s is not updated by vantreel: %s\n", row.name.c_str(), how.c_str());
                return kExitUsage;
            }
            std::fprintf(stderr, "vantreel update: no item \"%s\" in the last scan (see vantreel list --all)\n",
                         argument.c_str());
            return kExitUsage;
        }
        if (matches.size() > 1) {
            std::fprintf(stderr, "vantreel update: \"%s\" names several items; give one of these keys:\n",
                         argument.c_str());
            for (const Package& match : matches) std::fprintf(stderr, "  %s\n", stableKey(match).c_str());
            return kExitUsage;
        }
        chosen.push_back(matches.front());
    }

    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    Style style = Style::forStream(stderr);
    auto results = coordinator.updatePackages(chosen, stop.get_token(),
                                              [&](const Package& package, std::size_t index, std::size_t count) {
                                                  if (arguments.json) return;
                                                  std::fprintf(stderr, "%s\n",
                                                               style.dim("[" + std::to_string(index + 1) + "/" +
                                                                         std::to_string(count) + "] " + package.name)
                                                                   .c_str());
                                              });
    recordOutcomes(results);
    bool anyFailed = results.size() < chosen.size();
    for (const auto& result : results) anyFailed = anyFailed || !result.success;
    if (arguments.json) {
        Json list = Json::array();
        for (const auto& result : results) list.push_back(result.toJson());
        std::printf("%s\n", dumpJson(list, 2).c_str());
    } else {
        Style out = Style::forStream(stdout);
        for (const auto& result : results) {
            const Package& package = result.package;
            if (result.success) {
                std::string version = displayVersion(result.newVersion.value_or(package.latestVersion.value_or("?")));
                std::printf("%s\n", out.green(localized("update.item_success",
                                                        {package.name, displayVersion(package.version), version}))
                                        .c_str());
            } else {
                std::printf("%s\n",
                            out.red(localized("update.item_failed", {package.name, result.error.value_or("")})).c_str());
            }
        }
    }
    return anyFailed || stop.stop_requested() ? kExitFailure : kExitSuccess;
}

}  // namespace

void addUpdateCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<UpdateArguments>();
    auto* command = app.add_subcommand("update", "Update items of the last scan, one at a time");
    command->add_option("items", arguments->items, "Row ids (see list --json) or names of the items")->required();
    command->add_flag("--json", arguments->json, "Print the results as JSON");
    command->callback([arguments, exitCode, options] { *exitCode = update(*arguments, *options); });
}

}  // namespace vt::cli
