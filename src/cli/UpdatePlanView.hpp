#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/Json.hpp"
#include "cli/Output.hpp"
#include "core/UpdatePlan.hpp"

namespace vt::cli {

// An item of a run that the coordinator's plan does not carry: an application the
// `update` command installs itself (App Store, appcast, GitHub release, system update).
struct PlanExtra {
    std::string id;        // its row's id, as `vantreel list` shows it
    std::string sourceId;  // its source's id ("sparkle"), as `vantreel managers` shows it
    std::string source, name, currentVersion, latestVersion;
    bool toolsOwnLatest = false;  // its tool installs what it calls its latest (`mas`), not a version given
};

// What a run will change, as every updating command shows it before it asks: what will be
// updated and to which version (or that the tool installs its own latest), what is left
// out and why, and when the versions were read.
void printPlan(std::FILE* stream, const UpdatePlan& plan, const std::vector<PlanExtra>& extra = {});
// The same lines, for a screen that draws them itself.
std::vector<std::string> planLines(const UpdatePlan& plan, const Style& style, const std::vector<PlanExtra>& extra = {});
Json planJson(const UpdatePlan& plan, const std::vector<PlanExtra>& extra = {});
// The plan's items left out and why, as planJson gives them.
Json leftOutJson(const UpdatePlan& plan);

// The run's items one line each as they finish, on standard error; on a terminal the
// running item stays on a status line below them. Quiet prints nothing.
class BatchView {
public:
    explicit BatchView(bool quiet);
    ~BatchView();
    BatchView(const BatchView&) = delete;
    BatchView& operator=(const BatchView&) = delete;

    BatchProgress progress();

private:
    void drawStatus();
    void clearStatus();

    bool quiet_;
    Style style_;
    std::string phase_, counter_;
    bool statusShown_ = false;
};

}  // namespace vt::cli
