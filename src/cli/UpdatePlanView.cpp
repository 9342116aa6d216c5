#include "cli/UpdatePlanView.hpp"

#include <map>
#include <utility>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "presentation/ItemReasons.hpp"

namespace vt::cli {

namespace {

constexpr std::size_t kSourceWidth = 16;

std::string itemLine(const std::string& source, const std::string& name, const std::string& from,
                     const std::string& to) {
    std::string line(2, ' ');
    line.append(padRight(source, kSourceWidth)).append(2, ' ').append(name).append(1, ' ').append(from);
    line.append(punctuated(" → ")).append(to);
    return line;
}

// `mas upgrade` cannot be given a version: the store installs what it offers at that moment.
bool installsStoresLatest(const UpdatePlan::Step& step) {
    return step.category == ApplicationUpdateCategory::MacAppStore;
}

}  // namespace

void printPlan(std::FILE* stream, const UpdatePlan& plan, const std::vector<PlanExtra>& extra) {
    for (const std::string& line : planLines(plan, Style::forStream(stream), extra)) {
        std::fprintf(stream, "%s\n", line.c_str());
    }
}

std::vector<std::string> planLines(const UpdatePlan& plan, const Style& style, const std::vector<PlanExtra>& extra) {
    std::vector<std::string> lines;
    const std::size_t count = plan.itemCount() + extra.size();
    if (count == 0) {
        lines.push_back(localized("update_all.nothing"));
    } else {
        lines.push_back(style.bold(localized("update_all.plan_title", {std::to_string(count)})));
        for (const PlanExtra& item : extra) {
            std::string line = itemLine(item.source, item.name, item.currentVersion, item.latestVersion);
            if (item.toolsOwnLatest) line += "  " + style.dim(localized("update.plan.tools_latest", {item.source}));
            lines.push_back(std::move(line));
        }
        for (const UpdatePlan::Step& step : plan.steps) {
            for (const Application& application : step.applications) {
                std::string line = itemLine(step.label, application.name, application.version,
                                            application.latestVersion.value_or("?"));
                if (installsStoresLatest(step)) line += "  " + style.dim(localized("update.plan.tools_latest", {step.label}));
                lines.push_back(std::move(line));
            }
            for (const Package& package : step.packages) {
                std::string line = itemLine(step.label, package.name, package.version, package.latestVersion.value_or("?"));
                if (step.installsToolsOwnLatest(package)) {
                    line += "  " + style.dim(localized("update.plan.tools_latest", {step.label}));
                }
                if (package.releaseAge && package.releaseAge->verdict == ReleaseAgeVerdict::Fallback) {
                    line += "  " + style.dim(localized("update.plan.release_age_fallback",
                                                       {package.releaseAge->waiting.value_or("")}));
                }
                if (provenanceLost(package)) {
                    line += "  " + style.yellow(localized("update.plan.provenance_lost", {package.latestVersion.value_or("")}));
                }
                lines.push_back(std::move(line));
            }
        }
        if (plan.scanDate) lines.push_back(style.dim(localized("update.plan.as_of", {localDate(*plan.scanDate)})));
    }
    if (plan.leftOut.empty()) return lines;
    lines.push_back(style.bold(localized("update_all.left_out_title", {std::to_string(plan.leftOut.size())})));
    // A source turned off leaves out all its items for one reason: one line says it.
    std::map<std::pair<std::string, std::string>, std::size_t> sameReason;
    for (const UpdatePlan::LeftOut& item : plan.leftOut) ++sameReason[{item.source, item.reason}];
    for (const UpdatePlan::LeftOut& item : plan.leftOut) {
        auto group = sameReason.find({item.source, item.reason});
        if (group == sameReason.end()) continue;
        std::string name = item.name;
        if (group->second > 3) {
            name = localized("scan.summary.items", {std::to_string(group->second)});
            sameReason.erase(group);
        }
        lines.push_back("  " + padRight(item.source, kSourceWidth) + "  " + name + ": " + style.dim(item.reason));
    }
    return lines;
}

Json planJson(const UpdatePlan& plan, const std::vector<PlanExtra>& extra) {
    Json json = jsonDocument();
    const AllUpdatesRowBuilder ids(ManagerRegistry::sources());
    Json steps = Json::array();
    for (const PlanExtra& item : extra) {
        Json items = Json::array();
        items.push_back({{"id", item.id},
                         {"name", item.name},
                         {"version", item.currentVersion},
                         {"latestVersion", item.latestVersion},
                         {"installs", item.toolsOwnLatest ? "toolsLatest" : "exact"}});
        steps.push_back({{"source", item.sourceId}, {"sourceName", item.source}, {"asOneBatch", false},
                         {"together", false}, {"items", std::move(items)}});
    }
    for (const UpdatePlan::Step& step : plan.steps) {
        Json items = Json::array();
        for (const Application& application : step.applications) {
            items.push_back({{"id", AllUpdatesRowBuilder::shortId(application)},
                             {"name", application.name},
                             {"version", application.version},
                             {"latestVersion", application.latestVersion.value_or("")},
                             {"installs", installsStoresLatest(step) ? "toolsLatest" : "exact"}});
        }
        for (const Package& package : step.packages) {
            // "exact": the tool is given the version shown; "toolsLatest": it installs its own latest.
            const char* installs = step.asOneBatch || step.installsToolsOwnLatest(package) ? "toolsLatest" : "exact";
            Json item = {{"id", ids.shortId(package)},
                         {"name", package.name},
                         {"version", package.version},
                         {"latestVersion", package.latestVersion.value_or("")},
                         {"installs", installs}};
            if (package.releaseAge) {
                if (std::optional<ItemReason> age = releaseAgeReason(*package.releaseAge)) item["reasons"] = Json::array({age->code});
                item["releaseAge"] = releaseAgeJson(*package.releaseAge);
            }
            if (!package.fixedVulnerabilities.empty()) {
                item["reasons"].push_back(std::string(reason::kFixesVulnerabilities));
                item["fixedVulnerabilities"] = package.fixedVulnerabilities;
            }
            if (provenanceLost(package)) item["provenanceLost"] = true;
            items.push_back(std::move(item));
        }
        steps.push_back({{"source", step.manager}, {"sourceName", step.label}, {"asOneBatch", step.asOneBatch},
                         {"together", step.together}, {"items", std::move(items)}});
    }
    json["steps"] = std::move(steps);
    json["leftOut"] = leftOutJson(plan);
    if (plan.scanDate) json["scanDate"] = jsonDate(*plan.scanDate);
    return json;
}

Json leftOutJson(const UpdatePlan& plan) {
    Json leftOut = Json::array();
    for (const UpdatePlan::LeftOut& item : plan.leftOut) {
        leftOut.push_back({{"name", item.name}, {"sourceName", item.source}, {"reason", item.reason},
                           {"byHand", item.byHand}, {"upToDate", item.upToDate}});
        if (!item.code.empty()) leftOut.back()["code"] = item.code;
    }
    return leftOut;
}

namespace {

// "[2/5] ", built by appending: GCC 12 misreads "[" + std::string at -O3 (-Wrestrict).
std::string counterText(std::size_t index, std::size_t count) {
    std::string text(1, '[');
    text.append(std::to_string(index + 1)).append(1, '/').append(std::to_string(count)).append("] ");
    return text;
}

}  // namespace

BatchView::BatchView(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}

BatchView::~BatchView() { clearStatus(); }

BatchProgress BatchView::progress() {
    BatchProgress progress;
    if (quiet_) return progress;
    progress.phase = [this](const std::string& text) {
        phase_ = text;
        if (style_.isTerminal) drawStatus();
    };
    progress.itemStarted = [this](const std::string& name, const std::string& source, std::size_t index,
                                  std::size_t count) {
        counter_ = counterText(index, count);
        if (style_.isTerminal) {
            drawStatus();
        } else {
            std::fprintf(stderr, "%s%s (%s)%s\n", counter_.c_str(), name.c_str(), source.c_str(), ellipsis().c_str());
        }
    };
    progress.itemFinished = [this](const PackageUpdateResult& result, std::size_t index, std::size_t count) {
        clearStatus();
        counter_ = counterText(index, count);
        const std::string seconds = localizedDecimal(result.duration, 1) + "s";
        std::string line = counter_;
        if (result.success) {
            line += style_.green(punctuated("✓ ") + result.package.name);
            line += " (" + result.sourceLabel() + ") ";
            line += style_.dim(seconds);
        } else if (result.cancelled || result.skipped) {
            line += style_.yellow(punctuated("– ") + result.package.name);
            line += " (" + result.sourceLabel() + "): " + result.error.value_or("");
        } else {
            line += style_.red(punctuated("✗ ") + result.package.name);
            line += " (" + result.sourceLabel() + "): " + result.error.value_or("");
        }
        std::fprintf(stderr, "%s\n", line.c_str());
    };
    return progress;
}

void BatchView::drawStatus() {
    std::fprintf(stderr, "%s%s%s", ownControl("\r\x1b[K").c_str(), style_.dim(counter_).c_str(), phase_.c_str());
    std::fflush(stderr);
    statusShown_ = true;
}

void BatchView::clearStatus() {
    if (!statusShown_) return;
    std::fputs(ownControl("\r\x1b[K").c_str(), stderr);
    statusShown_ = false;
}

}  // namespace vt::cli
