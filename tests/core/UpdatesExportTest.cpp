#include "core/UpdatesExport.hpp"

#include <map>

#include <gtest/gtest.h>

#include "base/Strings.hpp"
#include "core/PrometheusExposition.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "support/Fixtures.hpp"

namespace vt {
namespace {

using testing::savedPackage;

const std::vector<SourceRow> kRegistrations = {
    {.id = "homebrew", .name = "Homebrew", .types = {PackageType::BrewFormula, PackageType::BrewCask},
     .toggle = ManagerToggleKey::ShowHomebrew,
     .kindToggles = {{PackageType::BrewCask, ManagerToggleKey::ShowCasks, "casks", "Homebrew Casks"}}},
    {.id = "npm", .name = "npm", .types = {PackageType::NpmGlobal}, .toggle = ManagerToggleKey::ShowNpm},
    {.id = "apt", .name = "apt", .types = {PackageType::AptPackage}, .toggle = ManagerToggleKey::ShowApt},
    {.id = "cargo", .name = "Cargo", .types = {PackageType::CargoPackage}, .toggle = ManagerToggleKey::ShowCargo},
};

// The series of an exposition by their line's name and labels, as written.
std::map<std::string, std::string> seriesOf(const std::string& text) {
    std::map<std::string, std::string> series;
    for (std::string_view line : splitLines(text)) {
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.rfind(' ');
        series[std::string(line.substr(0, space))] = std::string(line.substr(space + 1));
    }
    return series;
}

// A machine's saved scan, and the table `vantreel list` makes of it, with every way an update
// leaves the table.
class UpdatesExportTest : public ::testing::Test {
protected:
    UpdatesExportTest() {
        packages_ = {
            savedPackage(PackageType::NpmGlobal, "major", "1.9.0", "2.0.0"),
            savedPackage(PackageType::NpmGlobal, "zero-major", "0.3.1", "0.4.0"),
            savedPackage(PackageType::NpmGlobal, "minor", "1.2.0", "1.3.0"),
            savedPackage(PackageType::NpmGlobal, "patch", "1.2.0", "1.2.1"),
            savedPackage(PackageType::NpmGlobal, "other", "2.0-rc1", "2.0"),
            savedPackage(PackageType::NpmGlobal, "current", "1.0", "1.0"),
            savedPackage(PackageType::NpmGlobal, "ignored", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "skipped", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "snoozed", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "deferred", "1.0", "2.0"),
            savedPackage(PackageType::AptPackage, "libc6", "2.36-9+deb12u4", "2.36-9+deb12u7"),
            savedPackage(PackageType::AptPackage, "openssl", "3.0.11-1~deb12u2", "3.0.15-1~deb12u1"),
            savedPackage(PackageType::BrewFormula, "pinned", "1.0", "1.1"),
            savedPackage(PackageType::BrewCask, "foo-app", "1.0", "2.0"),
            savedPackage(PackageType::CargoPackage, "hidden-source", "1.0", "2.0"),
        };
        packages_[11].isSecurityUpdate = true;
        packages_[12].isPinned = true;
        Application app = testing::sparkleApplication("Foo App", "com.example.foo", "1.0", "2.0", std::chrono::hours(24));
        app.homebrewCaskName = "foo-app";
        app.publishDate = now_ - std::chrono::hours(24);  // younger than the minimum age
        applications_ = {app};

        AllUpdatesSnapshot snapshot;
        snapshot.packages = packages_;
        snapshot.applications = applications_;
        rows_ = AllUpdatesRowBuilder(kRegistrations).build(snapshot);
        state_.ignored = {stableKey(packages_[6])};
        state_.skippedVersions = {{stableKey(packages_[7]), "2.0"}};
        state_.snoozes = {{stableKey(packages_[8]), std::nullopt}};
        AutoDeferredUpdate deferral;
        deferral.kind = "environment";
        state_.deferrals = {{stableKey(packages_[9]), deferral}};
        state_.minimumReleaseAgeDays = 7;
        state_.now = now_;

        metadata_.lastScanDate = now_;
        SourceScanState npm{.id = "npm", .name = "npm", .itemsDate = now_};
        npm.durationSeconds = 1.25;
        SourceScanState cargo{"cargo", "Cargo", std::string("cargo exited with status 101"), std::nullopt};
        cargo.latestKnown = false;
        metadata_.sources = {npm, SourceScanState{.id = "homebrew", .name = "Homebrew", .itemsDate = now_}, cargo,
                             SourceScanState{.id = "apt", .name = "apt", .itemsDate = now_}, SourceScanState{"apps", "Applications"}};
    }

    UpdatesExport make() {
        IgnoreFilter filter(state_, rows_);
        AllUpdatesPipelineInput input;
        input.isVisible = [this](const AllUpdateRow& row) { return !row.toggle || isShown(*row.toggle); };
        input.hiding = [&filter](const AllUpdateRow& row) { return filter.hiding(row); };
        table_ = AllUpdatesRowPipeline::run(rows_, input);
        return makeUpdatesExport({.metadata = metadata_,
                                  .packages = packages_,
                                  .applications = applications_,
                                  .table = table_,
                                  .filter = filter,
                                  .isShown = [this](ManagerToggleKey key) { return isShown(key); },
                                  .registrations = kRegistrations,
                                  .programVersion = "9.9.9"});
    }

    bool isShown(ManagerToggleKey key) const { return key != ManagerToggleKey::ShowCargo; }

    Clock::TimePoint now_ = Clock::TimePoint{} + std::chrono::hours(24 * 365 * 55);
    std::vector<Package> packages_;
    std::vector<Application> applications_;
    std::vector<AllUpdateRow> rows_;
    IgnoreFilter::State state_;
    ScanMetadata metadata_;
    AllUpdatesDisplayModel table_;
};

TEST_F(UpdatesExportTest, PendingRowsAreTheTablesAndEveryExclusionHasItsReason) {
    UpdatesExport data = make();
    // The table's pending rows but the pinned formula, in its order, by the ids the table shows.
    std::vector<std::string> pending;
    for (std::size_t i = 0; i < table_.size(); ++i) {
        if (table_.row(i).packageType != PackageType::BrewFormula) pending.push_back(table_.row(i).shortId);
    }
    std::vector<std::string> exported;
    for (const ExportedUpdate& update : data.updates) exported.push_back(update.id);
    EXPECT_EQ(exported, pending);
    EXPECT_EQ(data.pendingCount("npm", UpdateKind::Major), 2u);  // 0.3 to 0.4 is major
    EXPECT_EQ(data.pendingCount("npm", UpdateKind::Minor), 1u);
    EXPECT_EQ(data.pendingCount("npm", UpdateKind::Patch), 1u);
    EXPECT_EQ(data.pendingCount("npm", UpdateKind::Other), 1u);
    EXPECT_EQ(data.pendingCount("apt", UpdateKind::Security), 1u);
    EXPECT_EQ(data.pendingCount("apt", UpdateKind::Other), 1u);  // a Debian revision only
    // The application is held back by the release age; its cask, which carries no release
    // date, stands in the table in its place.
    EXPECT_EQ(data.excludedCount("apps", ExclusionReason::TooRecent), 1u);
    EXPECT_EQ(data.pendingCount("casks", UpdateKind::Major), 1u);
    for (ExclusionReason reason : {ExclusionReason::Ignored, ExclusionReason::Skipped, ExclusionReason::Snoozed,
                                   ExclusionReason::Deferred}) {
        EXPECT_EQ(data.excludedCount("npm", reason), 1u) << rawValue(reason);
    }
    EXPECT_EQ(data.excludedCount("homebrew", ExclusionReason::Pinned), 1u);
    // A source switched off is neither pending nor excluded: the user asked not to see it.
    EXPECT_EQ(data.excludedCount("cargo", ExclusionReason::Ignored) + data.pendingCount("cargo", UpdateKind::Major), 0u);

    std::map<std::string, ExportedSource> sources;
    for (const ExportedSource& source : data.sources) sources[source.id] = source;
    EXPECT_EQ(sources.size(), 6u);  // the scanned ones and Homebrew's casks, shown on their own
    EXPECT_FALSE(sources["cargo"].listed);
    EXPECT_FALSE(sources["cargo"].latestKnown);
    EXPECT_EQ(sources["casks"].name, "Homebrew Casks");
    EXPECT_EQ(sources["npm"].durationSeconds, 1.25);
    EXPECT_EQ(data.items.size(), packages_.size());
    EXPECT_EQ(data.applications.size(), 1u);
}

TEST_F(UpdatesExportTest, ExpositionHasEverySeriesOnceWithLabelsEscaped) {
    // A source id from a damaged or foreign file: whatever it holds stays one label value.
    metadata_.sources.push_back(SourceScanState{"we\"ird\\src\nline \xff", "weird", std::string("failed"), std::nullopt});
    UpdatesExport data = make();
    const std::string text = prometheusExposition(data);
    std::map<std::string, std::string> series = seriesOf(text);
    EXPECT_EQ(series["vantreel_info{version=\"9.9.9\"}"], "1");
    EXPECT_EQ(series["vantreel_updates_pending{source=\"npm\",kind=\"major\"}"], "2");
    EXPECT_EQ(series["vantreel_updates_pending{source=\"casks\",kind=\"security\"}"], "0");
    EXPECT_EQ(series["vantreel_updates_excluded{source=\"homebrew\",reason=\"pinned\"}"], "1");
    EXPECT_EQ(series["vantreel_updates_excluded{source=\"apps\",reason=\"too_recent\"}"], "1");
    EXPECT_EQ(series["vantreel_source_up{source=\"cargo\"}"], "0");
    EXPECT_EQ(series["vantreel_source_latest_known{source=\"npm\"}"], "1");
    EXPECT_EQ(series["vantreel_scan_duration_seconds{source=\"npm\"}"], "1.250");
    EXPECT_EQ(series["vantreel_source_up{source=\"we\\\"ird\\\\src\\nline \xef\xbf\xbd\"}"], "0");
    // Every source has a series of each kind and each reason; nothing is written twice.
    std::size_t pending = 0, excluded = 0, lines = 0;
    for (const auto& [name, value] : series) {
        pending += startsWith(name, "vantreel_updates_pending{") ? 1 : 0;
        excluded += startsWith(name, "vantreel_updates_excluded{") ? 1 : 0;
    }
    for (std::string_view line : splitLines(text)) lines += !line.empty() && line.front() != '#' ? 1 : 0;
    EXPECT_EQ(pending, data.sources.size() * 5);
    EXPECT_EQ(excluded, data.sources.size() * 6);
    EXPECT_EQ(lines, series.size());
    // No apt family without apt; with it, the collector's empty series when nothing is held.
    EXPECT_EQ(text.find("apt_upgrades_pending"), std::string::npos);
    EXPECT_EQ(text.find("node_reboot_required"), std::string::npos);
    data.apt = AptSummary{{{"Debian:bookworm/stable,Debian-Security:bookworm-security/stable-security", "amd64", 3}},
                          {},
                          true};
    series = seriesOf(prometheusExposition(data));
    EXPECT_EQ(series["apt_upgrades_pending{origin=\"Debian:bookworm/stable,Debian-Security:bookworm-security/"
                     "stable-security\",arch=\"amd64\"}"],
              "3");
    EXPECT_EQ(series["apt_upgrades_held{origin=\"\",arch=\"\"}"], "0");
    EXPECT_EQ(series["node_reboot_required"], "1");
}

TEST(AptSummaryTest, UpgradesAreCountedByOriginAndArchitectureHeldOnesAmongThem) {
    AptCache::Reading reading;
    auto upgrade = [](std::string name, std::vector<std::string> origins, std::string architecture) {
        AptCache::Upgrade entry;
        entry.name = std::move(name);
        entry.origins = std::move(origins);
        entry.architecture = std::move(architecture);
        return entry;
    };
    reading.upgrades = {upgrade("bash", {"Debian:bookworm/stable"}, "amd64"),
                        upgrade("base-files", {"Debian:bookworm/stable"}, "amd64"),
                        upgrade("tzdata", {"Debian:bookworm/stable"}, "all"),
                        upgrade("perl", {"Debian:bookworm/stable", "Debian-Security:bookworm-security/stable-security"},
                                "amd64")};
    reading.held = {upgrade("linux-image-amd64", {"Debian:bookworm/stable"}, "amd64")};
    AptSummary summary = summarizeApt(reading, false);
    std::map<std::pair<std::string, std::string>, long long> pending;
    for (const AptUpgradeCount& count : summary.pending) pending[{count.origin, count.architecture}] = count.count;
    EXPECT_EQ(pending, (std::map<std::pair<std::string, std::string>, long long>{
                           {{"Debian:bookworm/stable", "all"}, 1},
                           {{"Debian:bookworm/stable", "amd64"}, 3},
                           {{"Debian:bookworm/stable,Debian-Security:bookworm-security/stable-security", "amd64"}, 1}}));
    ASSERT_EQ(summary.held.size(), 1u);
    EXPECT_EQ(summary.held[0].count, 1);
}

}  // namespace
}  // namespace vt
