#include "cli/PlanSelection.hpp"

#include <algorithm>

#include "core/ManagerRegistry.hpp"
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

}  // namespace vt::cli
