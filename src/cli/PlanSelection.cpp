#include "cli/PlanSelection.hpp"

#include <algorithm>

#include "base/Localization.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/ItemReasons.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"

namespace vt::cli {

namespace {

// The scanner whose items the plan labels so; nothing for an application's label.
std::optional<std::pair<std::string, PackageType>> kindLabelled(const AllUpdatesRowBuilder& builder,
                                                                const std::string& label) {
    for (const SourceRow& source : ManagerRegistry::sources()) {
        for (PackageType type : source.types) {
            if (builder.sourceLabel(type) == label || source.name == label) return std::pair{source.id, type};
        }
    }
    return std::nullopt;
}

}  // namespace

void restrictPlan(UpdatePlan& plan, const SourceSelection& selection) {
    if (selection.empty()) return;
    const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
    const bool applications = selection.includes("apps", std::nullopt);
    for (UpdatePlan::Step& step : plan.steps) {
        std::erase_if(step.packages, [&](const Package& package) {
            return !selection.includes(builder.sourceId(package.type), package.type);
        });
        if (!applications) step.applications.clear();
    }
    std::erase_if(plan.steps, [](const UpdatePlan::Step& step) { return step.packages.empty() && step.applications.empty(); });
    std::erase_if(plan.leftOut, [&](const UpdatePlan::LeftOut& item) {
        auto kind = kindLabelled(builder, item.source);
        return kind ? !selection.includes(kind->first, kind->second) : !applications;
    });
}

void leaveOutLostProvenance(UpdatePlan& plan) {
    for (UpdatePlan::Step& step : plan.steps) {
        // A batch run by the tool itself cannot leave one item out.
        if (step.asOneBatch) continue;
        std::erase_if(step.packages, [&](const Package& package) {
            if (!provenanceLost(package)) return false;
            UpdatePlan::LeftOut item{package.name, step.label,
                                     localized("update_all.excluded.provenance_lost", {package.latestVersion.value_or("")})};
            item.code = reason::kProvenanceLost;
            plan.leftOut.push_back(std::move(item));
            return true;
        });
    }
    std::erase_if(plan.steps, [](const UpdatePlan::Step& step) {
        return !step.asOneBatch && step.packages.empty() && step.applications.empty();
    });
}

}  // namespace vt::cli
