#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "updates/BatchUpdateResult.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

struct UpdateAllArguments {
    ChangeFlags change;
    bool json = false;
    bool summary = false;                // the automation action's one sentence
    std::optional<std::string> report;   // empty: the proposed name in the current folder
    SourceOptions sources;               // --only, --exclude
    bool allowProvenanceLoss = false;    // takes the items whose offered version lost its attestations
    std::string command = "update-all";  // as typed, for messages: "update" with --all
};

// `vantreel update --all` and `vantreel update-all`: the plan, a confirmation (refused
// without a terminal unless --yes), then every item one at a time with its progress, a
// summary and the Markdown report.
int runUpdateAll(const UpdateAllArguments& arguments, const GlobalOptions& options);
// Flags that cannot go together (a report of a dry run, a sentence as JSON): says so and
// returns true.
bool refusesCombination(const UpdateAllArguments& arguments, const std::string& command);
void addUpdateAllCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

// The table's pending count; the coordinator's own count before any table was built.
std::size_t pendingUpdateCount();

// Writes the Markdown report of a run (beside the scan results when `requested` is absent,
// under the proposed name when it is empty); a failure is said on standard error and the
// run goes on. `said`, when given, is where the path is announced.
std::optional<std::string> writeBatchReport(const BatchUpdateResult& batch, const std::optional<std::string>& requested,
                                            std::FILE* said);

// The items the ignore lists take out of the table, by row id, with why.
std::map<std::string, std::string> heldBackRows();

}  // namespace vt::cli
