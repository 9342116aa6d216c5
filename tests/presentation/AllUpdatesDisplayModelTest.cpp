#include <gtest/gtest.h>

#include "presentation/AllUpdatesDisplayModelCache.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"

namespace vt {
namespace {

Package package(PackageType type, std::string name, std::string version, std::string latest) {
    return Package{
        .name = std::move(name), .version = std::move(version), .type = type, .latestVersion = std::move(latest)};
}

Application sparkleApp(const std::string& name, std::string bundleId, std::string cask) {
    return Application{.name = name, .bundlePath = "/Applications/" + name + ".app", .version = "1.0",
                       .bundleIdentifier = std::move(bundleId), .updateMechanism = UpdateMechanism::Sparkle,
                       .latestVersion = "2.0", .homebrewCaskName = std::move(cask)};
}

std::vector<std::string> shownIds(const AllUpdatesDisplayModel& model) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < model.size(); ++i) ids.push_back(model.row(i).id);
    return ids;
}

const std::vector<SourceRow> kRegistrations = {
    {.id = "homebrew", .name = "Homebrew", .types = {PackageType::BrewFormula, PackageType::BrewCask},
     .toggle = ManagerToggleKey::ShowHomebrew,
     .kindToggles = {{PackageType::BrewCask, ManagerToggleKey::ShowCasks, "casks", "Homebrew Casks"}}},
    {.id = "npm", .name = "npm", .types = {PackageType::NpmGlobal}, .toggle = ManagerToggleKey::ShowNpm},
};

TEST(AllUpdatesDisplayModelTest, RowsAreLabelledFilteredMergedAndOrdered) {
    AllUpdatesSnapshot snapshot;
    snapshot.packages = {package(PackageType::BrewCask, "foo-app", "1.0", "2.0"),
                         package(PackageType::NpmGlobal, "zeta", "1.0", "1.1"),
                         package(PackageType::NpmGlobal, "Élan", "1.0", "1.1"),
                         package(PackageType::NpmGlobal, "alpha", "1.0", "1.0"),  // up to date
                         package(PackageType::BrewFormula, "deno", "1.0", "2.0"),
                         package(PackageType::DenoPackage, "deno", "1.0", "2.0"),
                         package(PackageType::AptPackage, "curl", "7", "8")};
    snapshot.applications = {sparkleApp("Foo App", "com.example.foo", "foo-app")};
    AllUpdatesRowBuilder builder(kRegistrations);
    std::vector<AllUpdateRow> rows = builder.build(snapshot);
    ASSERT_EQ(rows.size(), 7u);  // the up-to-date package is no row
    EXPECT_EQ(rows[0].source, "Homebrew Casks");
    EXPECT_EQ(rows[0].bundlePath, "/Applications/Foo App.app");  // the cask stands for the app's bundle
    EXPECT_EQ(rows[1].source, "npm");
    EXPECT_EQ(rows[4].source, "Deno");
    EXPECT_EQ(rows[5].source, "unknown");  // no registration in this build
    EXPECT_EQ(rows[6].id, "app:com.example.foo");
    EXPECT_EQ(rows[6].icon, "sparkles");

    AllUpdatesPipelineInput input;
    input.prefersHomebrewNativeToolFormula = [](const std::string& tool) { return tool == "deno"; };
    AllUpdatesDisplayModel model = AllUpdatesRowPipeline::run(rows, input);
    // One row for the application, under Sparkle (it outranks the cask); the formula of deno;
    // by source, then by name without regard to case or accents.
    EXPECT_EQ(shownIds(model), (std::vector<std::string>{"package:formulas:deno", "package:npm global:Élan",
                                                         "package:npm global:zeta", "app:com.example.foo",
                                                         "package:apt:curl"}));
    input.prefersHomebrewNativeToolFormula = [](const std::string&) { return false; };
    EXPECT_EQ(AllUpdatesRowPipeline::run(rows, input).row(0).id, "package:deno:deno");

    input.isVisible = [](const AllUpdateRow&) { return false; };
    AllUpdatesDisplayModel none = AllUpdatesRowPipeline::run(rows, input);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_TRUE(none.updateableRows.empty());
    EXPECT_FALSE(none.shouldShowUpdateAllButton);
    // A hidden source's rows merge into nothing, and the search: IgnoreE2ETest.
}

// An update that removes known vulnerabilities comes first whatever its source and name; one
// whose offered version is itself vulnerable, or that fixes nothing, keeps its place.
TEST(AllUpdatesDisplayModelTest, UpdatesThatFixKnownVulnerabilitiesComeFirst) {
    AllUpdatesSnapshot snapshot;
    snapshot.packages = {package(PackageType::BrewFormula, "curl", "8.0", "8.5"),
                         package(PackageType::NpmGlobal, "zeta", "1.0", "1.1"),
                         package(PackageType::NpmGlobal, "alpha", "1.0", "1.1"),
                         package(PackageType::NpmGlobal, "omega", "1.0", "1.0")};
    snapshot.packages[1].fixedVulnerabilities = {"GHSA-zeta-0001"};
    snapshot.packages[2].latestVulnerabilities = {"GHSA-alpha-0002"};
    snapshot.packages[3].fixedVulnerabilities = {"GHSA-stale"};  // up to date: fixes nothing
    std::vector<AllUpdateRow> rows = AllUpdatesRowBuilder(kRegistrations).build(snapshot, true);
    AllUpdatesDisplayModel model = AllUpdatesRowPipeline::run(rows, AllUpdatesPipelineInput{});
    EXPECT_EQ(shownIds(model), (std::vector<std::string>{"package:npm global:zeta", "package:formulas:curl",
                                                         "package:npm global:alpha", "package:npm global:omega"}));
    EXPECT_TRUE(model.row(0).fixesVulnerabilities());
    EXPECT_EQ(model.row(2).offeredVulnerabilities, std::vector<std::string>{"GHSA-alpha-0002"});
    EXPECT_FALSE(model.row(3).fixesVulnerabilities());
}

TEST(AllUpdatesDisplayModelTest, ActionsAreComputedOnceAndBatchLeavesBusyRowsOut) {
    AllUpdatesSnapshot snapshot;
    snapshot.packages = {package(PackageType::NpmGlobal, "a", "1", "2"), package(PackageType::NpmGlobal, "b", "1", "2")};
    snapshot.applications = {sparkleApp("App", "com.example.app", "")};
    snapshot.applications[0].downloadURL = "http://127.0.0.1:9/app.zip";
    std::vector<AllUpdateRow> rows = AllUpdatesRowBuilder(kRegistrations).build(snapshot);
    int calls = 0;
    AllUpdatesRuntimeState runtime;
    runtime.failedRowMessages["package:npm global:b"] = "failed";
    AllUpdatesPipelineInput input;
    input.runtime = &runtime;
    input.rowActionState = [&calls](const AllUpdateRow& row) {
        ++calls;
        AllUpdateRowActionState state;
        state.isUpdateable = row.kind == AllUpdateRow::Kind::Package;
        state.isManualApplication = !state.isUpdateable;
        state.manualDownloadURL = row.downloadURL;
        return state;
    };
    AllUpdatesDisplayModel model = AllUpdatesRowPipeline::run(rows, input);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(model.updateableRows.size(), 2u);
    ASSERT_EQ(model.batchUpdateRows.size(), 1u);
    EXPECT_EQ(model.row(model.batchUpdateRows[0]).name, "a");
    ASSERT_EQ(model.downloadableRows.size(), 1u);
    EXPECT_TRUE(model.shouldShowUpdateAllButton);
    ASSERT_NE(model.actionState("app:com.example.app"), nullptr);
    EXPECT_EQ(model.actionState("app:com.example.app")->manualDownloadURL, "http://127.0.0.1:9/app.zip");
}

TEST(AllUpdatesDisplayModelTest, AnUpdateFreezesTheTableAndTwoCopiesOfOneAppStayTwoRows) {
    AllUpdatesSnapshot snapshot;
    snapshot.applications = {sparkleApp("App", "com.example.app", ""), sparkleApp("App", "com.example.app", "")};
    snapshot.applications[1].bundlePath = "/Users/me/Applications/App.app";
    snapshot.packages = {package(PackageType::MsOfficeApp, "Word", "16.1", "16.2")};
    std::vector<AllUpdateRow> rows = AllUpdatesRowBuilder(kRegistrations).build(snapshot);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].id, "msoffice:word");
    EXPECT_EQ(rows[0].source, "Microsoft Office");
    EXPECT_EQ(rows[0].icon, "doc.richtext.fill");
    EXPECT_EQ(rows[2].id, "app:com.example.app:/Users/me/Applications/App.app");

    AllUpdatesRuntimeState runtime;
    runtime.isUpdateRunning = true;
    runtime.frozenRows = {rows[1], rows[0]};
    runtime.activeRowID = rows[1].id;
    runtime.hiddenUntilRescanRowIDs = {rows[0].id};
    AllUpdatesPipelineInput input;
    input.runtime = &runtime;
    input.rowActionState = [](const AllUpdateRow&) { return AllUpdateRowActionState{.isUpdateable = true}; };
    AllUpdatesDisplayModel model = AllUpdatesRowPipeline::run(rows, input);
    EXPECT_EQ(shownIds(model), (std::vector<std::string>{"app:com.example.app"}));
    EXPECT_EQ(model.activeRowScrollTarget, "app:com.example.app");
    EXPECT_FALSE(model.shouldShowUpdateAllButton);  // not while an update runs
}

TEST(AllUpdatesDisplayModelTest, SameSignalReturnsTheCachedModelWithoutBuilding) {
    AllUpdatesDisplayModelCache cache;
    int builds = 0;
    auto build = [&builds] {
        ++builds;
        return AllUpdatesDisplayModel{};
    };
    AllUpdatesSignalParts parts{.packagesRevision = 4, .searchText = "a"};
    auto first = cache.model(composeSignal(parts), build);
    auto second = cache.model(composeSignal(parts), build);
    EXPECT_EQ(builds, 1);
    EXPECT_EQ(first.get(), second.get());
    parts.searchText = "";
    parts.sourceFilter = "a";  // the same text moved to another part is another signal
    cache.model(composeSignal(parts), build);
    parts.runtimeGeneration = 1;
    cache.model(composeSignal(parts), build);
    EXPECT_EQ(builds, 3);
}

}  // namespace
}  // namespace vt
