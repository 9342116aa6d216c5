#pragma once

#include <map>
#include <optional>
#include <string>

#include "cli/CommandOptions.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

struct GlobalOptions;

struct UpdateAllArguments {
    bool yes = false;
    bool dryRun = false;
    bool json = false;
    bool summary = false;                // the automation action's one sentence
    std::optional<std::string> report;   // empty: the proposed name in the current folder
    SourceOptions sources;               // --only, --exclude
};

// `vantreel update --all` and `vantreel update-all`: the plan, a confirmation, then every
// item one at a time with its progress, a summary and the Markdown report.
int runUpdateAll(const UpdateAllArguments& arguments, const GlobalOptions& options);
void addUpdateAllCommand(CLI::App& app, int* exitCode, const GlobalOptions* options);

// The table's pending count; the coordinator's own count before any table was built.
std::size_t pendingUpdateCount();

// The items the ignore lists take out of the table, by row id, with why.
std::map<std::string, std::string> heldBackRows();

}  // namespace vt::cli
