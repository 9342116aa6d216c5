// `vantreel export` against the tools that read what it writes: Prometheus' own checker, a
// real node exporter serving the textfile folder, the sqlite3 shell running the osquery
// fragment's queries, and apt's own commands on a private apt root.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "base/Files.hpp"
#include "base/Strings.hpp"
#include "cli/LoopbackDaemon.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "support/AptRoot.hpp"
#include "support/BuildPaths.hpp"
#include "support/Fixtures.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::savedPackage;

using testing::runVantreel;

constexpr const char* kPromtool = "/usr/bin/promtool";
constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";
constexpr const char* kSqlite = "/usr/bin/sqlite3";

ShellCommandResult runTool(const std::string& tool, std::vector<std::string> arguments,
                           std::optional<std::string> input = std::nullopt) {
    CommandRequest request{.command = tool, .arguments = std::move(arguments), .timeout = 60, .allowNonZeroExit = true};
    request.standardInput = std::move(input);
    return CommandRunner::shared().execute(request);
}

// The samples of an exposition, by name and labels as written (the node exporter writes its
// labels sorted by name).
std::map<std::string, double> samplesOf(std::string_view text) {
    std::map<std::string, double> samples;
    for (std::string_view line : splitLines(text)) {
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.rfind(' ');
        samples[std::string(line.substr(0, space))] = std::stod(std::string(line.substr(space + 1)));
    }
    return samples;
}

// The sum of a family's samples whose labels hold every one of `parts`.
double sumOf(const std::map<std::string, double>& samples, const std::string& family,
             const std::vector<std::string>& parts = {}) {
    double sum = 0;
    for (const auto& [series, value] : samples) {
        if (series != family && !startsWith(series, family + "{")) continue;
        bool all = true;
        for (const std::string& part : parts) all = all && contains(series, part);
        if (all) sum += value;
    }
    return sum;
}

// A node exporter of our own, with only its textfile collector, reading `folder`.
class NodeExporter {
public:
    explicit NodeExporter(const std::string& folder)
        : port_(testing::freeLoopbackPort()),
          daemon_({kNodeExporter, "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                   "--collector.disable-defaults", "--collector.textfile",
                   "--collector.textfile.directory=" + folder, "--web.disable-exporter-metrics"},
                  noEnvironment_, [this] { return metrics().has_value(); }) {}

    bool started() const { return daemon_.started(); }
    std::optional<std::string> metrics() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_connection_timeout(2);
        client.set_read_timeout(10);
        auto response = client.Get("/metrics");
        if (!response || response->status != 200) return std::nullopt;
        return response->body;
    }

private:
    char* noEnvironment_[1] = {nullptr};
    int port_;
    testing::LoopbackDaemon daemon_;
};

class ExportHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {kPromtool, kNodeExporter, kSqlite}) {
            ASSERT_TRUE(SystemFileSystemManager().isExecutableFile(tool)) << tool << ": run scripts/setup --tests";
        }
        testing::showOnly(home_.path(), {"ShowNpm", "ShowApt", "ShowHomebrew", "ShowInstalledApplications", "ShowSparkle"});
    }

    void save(const PersistedScanResults& results) const {
        ScanResultsPersistence(testing::dataFolder(home_.path()) + "/ScanResults").save(results);
    }

    ShellCommandResult vantreel(std::vector<std::string> arguments) const {
        testing::VantreelRun run{std::move(arguments), home_.path(), environment_};
        run.timeout = 120;
        return runVantreel(run);
    }

    std::string exposition() const {
        ShellCommandResult result = vantreel({"export", "prometheus"});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return result.standardOutput;
    }

    // The table's rows, by name.
    std::map<std::string, Json> rows() const {
        std::map<std::string, Json> byName;
        const Json listed = testing::jsonOf(vantreel({"list", "--json"}));
        for (const Json& row : listed["rows"]) byName[row["name"]] = row;
        return byName;
    }

    // Every kind of update pending, and one update taken out of the table in each way there is.
    void saveEveryKindPending() {
        PersistedScanResults results;
        results.packages = {
            savedPackage(PackageType::NpmGlobal, "major", "1.9.0", "2.0.0"),
            savedPackage(PackageType::NpmGlobal, "zero-major", "0.3.1", "0.4.0"),
            savedPackage(PackageType::NpmGlobal, "minor", "1.2.0", "1.3.0"),
            savedPackage(PackageType::NpmGlobal, "patch", "1.2.0", "1.2.1"),
            savedPackage(PackageType::NpmGlobal, "other", "2.0-rc1", "2.0"),
            savedPackage(PackageType::NpmGlobal, "current", "1.0", "1.0"),
            savedPackage(PackageType::NpmGlobal, "ignore-me", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "skip-me", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "snooze-me", "1.0", "2.0"),
            savedPackage(PackageType::NpmGlobal, "defer-me", "1.0", "2.0"),
            savedPackage(PackageType::AptPackage, "libc6", "2.36-9+deb12u4", "2.36-9+deb12u7"),
            savedPackage(PackageType::AptPackage, "openssl", "3.0.11-1~deb12u2", "3.0.15-1~deb12u1"),
            savedPackage(PackageType::BrewFormula, "wget", "1.21", "1.24"),
        };
        results.packages[11].isSecurityUpdate = true;
        results.packages[12].isPinned = true;
        Application recent = testing::sparkleApplication("Recent App", "org.example.recent", "1.0", "1.1",
                                                         std::chrono::hours(24));
        results.applications = std::vector<Application>{recent};
        ScanMetadata metadata;
        metadata.lastScanDate = std::chrono::system_clock::now();
        for (const char* id : {"npm", "apt", "homebrew", "apps"}) {
            SourceScanState state{.id = id, .name = id, .itemsDate = metadata.lastScanDate};
            state.durationSeconds = 0.5;
            metadata.sources.push_back(state);
        }
        results.metadata = metadata;
        save(results);

        std::map<std::string, Json> table = rows();
        auto id = [&table](const char* name) { return table.at(name)["id"].get<std::string>(); };
        for (auto [verb, name] : {std::pair{"ignore", "ignore-me"}, {"skip", "skip-me"}}) {
            ShellCommandResult done = vantreel({verb, id(name)});
            ASSERT_EQ(done.exitCode, 0) << done.standardError;
        }
        ASSERT_EQ(vantreel({"snooze", id("snooze-me"), "--indefinitely"}).exitCode, 0);
        ASSERT_EQ(vantreel({"settings", "set", "MinimumReleaseAgeDays", "7"}).exitCode, 0);
        // What the program writes when an update keeps failing in a way retrying cannot fix.
        DefaultsStore store(testing::settingsFile(home_.path()));
        SettingsManager settings(store);
        // It keys them by the item's stable key, not by the short id the table shows.
        std::string deferred;
        const Json listed = testing::jsonOf(vantreel({"list", "--json"}));
        for (const Json& item : listed["items"]) {
            if (item["name"] == "defer-me") deferred = item["stableKey"].get<std::string>();
        }
        ASSERT_FALSE(deferred.empty()) << listed;
        settings.setValue("AutoDeferredUpdates", Json{{deferred,
                                                       {{"identifier", deferred},
                                                        {"version", "2.0"},
                                                        {"kind", "environment"},
                                                        {"reason", "EACCES"}}}});
    }

    testing::TempDir home_{"vt-export-host"};
    std::map<std::string, std::string> environment_;
};

TEST_F(ExportHostTest, PromtoolAndSqliteReadEveryExportAndTheFiguresAreTheTables) {
    testing::AptRoot apt;
    ASSERT_FALSE(apt.setupFailure()) << *apt.setupFailure();
    environment_["APT_CONFIG"] = apt.configFile();
    auto check = [](const std::string& text, const std::string& scenario) {
        ShellCommandResult lint = runTool(kPromtool, {"check", "metrics"}, text);
        EXPECT_EQ(lint.exitCode, 0) << scenario << ":\n" << lint.standardOutput << lint.standardError << "\n" << text;
        return samplesOf(text);
    };

    // A failed source, and apt not scanned: no apt family.
    PersistedScanResults failed;
    failed.metadata = ScanMetadata{};
    failed.metadata->sources = {SourceScanState{"cargo", "Cargo", std::string("cargo exited with status 101"), std::nullopt}};
    save(failed);
    std::map<std::string, double> samples = check(exposition(), "a failed source");
    EXPECT_EQ(samples.at("vantreel_source_up{source=\"cargo\"}"), 0);
    EXPECT_EQ(samples.at("vantreel_source_latest_known{source=\"cargo\"}"), 0);
    EXPECT_EQ(sumOf(samples, "apt_upgrades_pending"), 0);

    // Every kind pending (as the table counts them, by the same code), and every way out of the table.
    saveEveryKindPending();
    samples = check(exposition(), "every kind pending");
    const std::map<std::string, double> expected = {
        {"vantreel_updates_pending{source=\"apt\",kind=\"security\"}", 1},
        {"vantreel_updates_excluded{source=\"npm\",reason=\"ignored\"}", 1},
        {"vantreel_updates_excluded{source=\"npm\",reason=\"skipped\"}", 1},
        {"vantreel_updates_excluded{source=\"npm\",reason=\"snoozed\"}", 1},
        {"vantreel_updates_excluded{source=\"npm\",reason=\"deferred\"}", 1},
        {"vantreel_updates_excluded{source=\"homebrew\",reason=\"pinned\"}", 1},
        {"vantreel_updates_excluded{source=\"apps\",reason=\"too_recent\"}", 1},
        {"vantreel_source_up{source=\"apt\"}", 1},
        {"vantreel_scan_duration_seconds{source=\"npm\"}", 0.5},
    };
    for (const auto& [series, value] : expected) EXPECT_EQ(samples[series], value) << series;
    // What the table shows, the pinned formula aside, is what is pending; each once.
    std::map<std::string, Json> table = rows();
    EXPECT_TRUE(table.count("wget"));
    EXPECT_EQ(sumOf(samples, "vantreel_updates_pending"), static_cast<double>(table.size() - 1));
    EXPECT_EQ(sumOf(samples, "vantreel_updates_excluded"), 6);
    // apt's own families agree with apt's own commands on the root: every upgrade
    // `apt list --upgradable` names is pending, and what `apt-get -s dist-upgrade` keeps back is held.
    const std::map<std::string, testing::AptRoot::Upgrade> listed = testing::AptRoot::aptList(&apt);
    const std::map<std::string, testing::AptRoot::Upgrade> simulated = testing::AptRoot::simulatedUpgrade(&apt);
    const auto securityUpgrades = std::count_if(simulated.begin(), simulated.end(),
                                                [](const auto& upgrade) { return upgrade.second.security; });
    EXPECT_EQ(sumOf(samples, "apt_upgrades_pending"), static_cast<double>(listed.size()));
    EXPECT_EQ(sumOf(samples, "apt_upgrades_held"), static_cast<double>(listed.size() - simulated.size()));
    EXPECT_EQ(samples["apt_upgrades_pending{origin=\"VT:bookworm-security/stable-security\",arch=\"all\"}"],
              static_cast<double>(securityUpgrades));
    EXPECT_EQ(samples["apt_upgrades_pending{origin=\"VT:bookworm/stable\",arch=\"all\"}"],
              static_cast<double>(static_cast<long>(listed.size()) - securityUpgrades));
    EXPECT_EQ(samples["apt_upgrades_held{origin=\"VT:bookworm/stable\",arch=\"all\"}"], 1);
    EXPECT_EQ(samples["node_reboot_required"], std::filesystem::exists("/run/reboot-required") ? 1 : 0);
    // The program copied without the module that reads apt's cache: the rest is exported and
    // the user is told what is missing.
    testing::TempDir copied("vt-alone");
    std::filesystem::copy_file(testing::vantreelPath(), copied.file("vantreel"));
    std::filesystem::permissions(copied.file("vantreel"), std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    testing::VantreelRun alone{{"export", "prometheus"}, home_.path(), environment_};
    alone.program = copied.file("vantreel");
    ShellCommandResult withoutModule = runVantreel(alone);
    ASSERT_EQ(withoutModule.exitCode, 0) << withoutModule.standardError;
    EXPECT_NE(withoutModule.standardError.find("its metrics are left out"), std::string::npos) << withoutModule.standardError;
    samples = check(withoutModule.standardOutput, "without apt's module");
    EXPECT_EQ(sumOf(samples, "apt_upgrades_pending"), 0);
    EXPECT_EQ(samples["vantreel_updates_pending{source=\"apt\",kind=\"security\"}"], 1);

    // The osquery fragment's queries, run by the sqlite3 shell, return the rows the table shows.
    testing::TempDir out("vt-osquery");
    const std::string database = out.file("updates.db");
    ShellCommandResult exported = vantreel({"export", "sqlite", database});
    ASSERT_EQ(exported.exitCode, 0) << exported.standardError;
    ShellCommandResult configuration = vantreel({"export", "osquery-config", "--db", database});
    ASSERT_EQ(configuration.exitCode, 0) << configuration.standardError;
    Json tables = testing::jsonOf(configuration)["auto_table_construction"];
    ASSERT_TRUE(tables.contains("vantreel_updates") && tables.contains("vantreel_sources")) << tables.dump();

    EXPECT_EQ(runTool(kSqlite, {database, "SELECT version FROM schema_version"}).standardOutput, "1\n");
    auto query = [&](const Json& definition) {
        EXPECT_EQ(definition["path"], database);
        ShellCommandResult result = runTool(kSqlite, {"-json", database, definition["query"].get<std::string>()});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        std::optional<Json> rows = parseJson(result.standardOutput.empty() ? "[]" : result.standardOutput);
        EXPECT_TRUE(rows && rows->is_array()) << result.standardOutput;
        // The columns osquery is told are the query's, in its order.
        for (const Json& row : *rows) {
            std::vector<std::string> keys;
            for (const auto& [key, value] : row.items()) keys.push_back(key);
            EXPECT_EQ(Json(keys), definition["columns"]);
        }
        return *rows;
    };
    table.erase("wget");  // pinned by Homebrew: an exclusion, as everywhere in the exports
    Json updates = query(tables["vantreel_updates"]);
    ASSERT_EQ(updates.size(), table.size());
    std::set<std::string> kinds;
    for (const Json& update : updates) {
        const std::string name = update["name"];
        ASSERT_TRUE(table.count(name)) << name;
        const Json& row = table[name];
        EXPECT_EQ(update["id"], row["id"]);
        EXPECT_EQ(update["source_name"], row["sourceName"]);
        EXPECT_EQ(update["installed_version"], row["version"]);
        EXPECT_EQ(update["latest_version"], row["latestVersion"]);
        EXPECT_EQ(update["is_security"] == 1, row.value("isSecurityUpdate", false)) << name;
        kinds.insert(update["update_kind"].get<std::string>());
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"security", "major", "minor", "patch", "other"}));
    std::map<std::string, Json> sources;
    for (const Json& source : query(tables["vantreel_sources"])) sources[source["id"]] = source;
    EXPECT_EQ(sources["npm"]["pending_updates"], 5);
    EXPECT_EQ(sources["apt"]["up"], 1);

    // An export is a new database, whole: the old one's rows are gone.
    PersistedScanResults quiet;
    quiet.metadata = ScanMetadata{};
    save(quiet);
    ASSERT_EQ(vantreel({"export", "sqlite", database}).exitCode, 0);
    EXPECT_EQ(runTool(kSqlite, {database, "SELECT count(*) FROM updates"}).standardOutput, "0\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);

    // A link is followed to the database it names and stays a link; a file that is no
    // database is left as it was.
    std::filesystem::create_symlink("updates.db", out.file("link.db"));
    ASSERT_EQ(vantreel({"export", "sqlite", out.file("link.db")}).exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(out.file("link.db")));
    EXPECT_EQ(runTool(kSqlite, {database, "SELECT count(*) FROM updates"}).standardOutput, "0\n");
    out.write("notes.txt", "my notes\n");
    ShellCommandResult refused = vantreel({"export", "sqlite", out.file("notes.txt")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.standardError.find("no SQLite database"), std::string::npos) << refused.standardError;
    EXPECT_EQ(readFile(out.file("notes.txt")), "my notes\n");
}

TEST_F(ExportHostTest, ANodeExporterServesTheExportAndNeverAPartialFile) {
    // Many sources make a file large enough that a writer in place would be caught half-way.
    PersistedScanResults results;
    results.packages = {savedPackage(PackageType::AptPackage, "openssl", "3.0.11-1~deb12u2", "3.0.15-1~deb12u1")};
    results.packages[0].isSecurityUpdate = true;
    results.metadata = ScanMetadata{};
    for (int i = 0; i < 1500; ++i) {
        const std::string id = "source-" + std::to_string(i);
        results.metadata->sources.push_back(SourceScanState{id, id, std::nullopt, std::nullopt});
    }
    save(results);
    testing::TempDir folder("vt-textfiles");
    NodeExporter exporter(folder.path());
    ASSERT_TRUE(exporter.started() && exporter.metrics()) << "the node exporter did not start";

    ShellCommandResult written = vantreel({"export", "prometheus", "--textfile-dir", folder.path()});
    ASSERT_EQ(written.exitCode, 0) << written.standardError;
    std::optional<std::string> served = exporter.metrics();
    ASSERT_TRUE(served);
    std::map<std::string, double> samples = samplesOf(*served);
    EXPECT_EQ(samples["node_textfile_scrape_error"], 0);
    EXPECT_EQ(samples["vantreel_updates_pending{kind=\"security\",source=\"apt\"}"], 1) << *served;
    const double series = sumOf(samples, "vantreel_source_up") + 1;  // every source is up

    // Scraped in a loop while the file is written again and again: every scrape reads it whole.
    std::atomic<bool> writing{true};
    std::atomic<int> scrapes{0}, torn{0};
    std::jthread scraper([&] {
        while (writing) {
            std::optional<std::string> text = exporter.metrics();
            if (!text) continue;
            std::map<std::string, double> seen = samplesOf(*text);
            ++scrapes;
            if (seen["node_textfile_scrape_error"] != 0 || sumOf(seen, "vantreel_source_up") + 1 != series) ++torn;
        }
    });
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(vantreel({"export", "prometheus", "--textfile-dir", folder.path()}).exitCode, 0);
    }
    writing = false;
    scraper.join();
    EXPECT_GT(scrapes.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "of " << scrapes.load() << " scrapes";
    // Only our file is left in the folder: no temporary one for the collector to read.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        names.push_back(entry.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"vantreel.prom"});

    // A folder that does not exist is refused, and nothing is made.
    ShellCommandResult missing = vantreel({"export", "prometheus", "--textfile-dir", folder.file("missing")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(folder.file("missing")));
    // An empty name is no name: refused, not taken for standard output.
    for (const char* option : {"--textfile-dir", "--output"}) {
        ShellCommandResult empty = vantreel({"export", "prometheus", option, ""});
        EXPECT_EQ(empty.exitCode, 2) << option;
        EXPECT_EQ(empty.standardOutput, "") << option;
    }
}

// What is at the path given decides: a file is replaced whole and keeps its mode, a link
// stays one, a pipe or a device is written to as a shell would, "-" is standard output; a
// folder is refused, and so is any of these as a database, at once.
TEST_F(ExportHostTest, AnOutputIsWrittenWhereItPointsAndNothingButAFileIsReplaced) {
    PersistedScanResults results;
    results.packages = {savedPackage(PackageType::AptPackage, "openssl", "3.0.11-1~deb12u2", "3.0.15-1~deb12u1")};
    results.metadata = ScanMetadata{};
    save(results);
    testing::TempDir out("vt-export-targets");
    const std::string expected = exposition();

    out.write("metrics.prom", "old\n");
    std::filesystem::permissions(out.file("metrics.prom"), std::filesystem::perms(0640));
    std::filesystem::create_symlink("metrics.prom", out.file("link.prom"));
    ASSERT_EQ(vantreel({"export", "prometheus", "--output", out.file("link.prom")}).exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(out.file("link.prom")));
    EXPECT_EQ(readFile(out.file("metrics.prom")), expected);
    EXPECT_EQ(std::filesystem::status(out.file("metrics.prom")).permissions(), std::filesystem::perms(0640));

    ASSERT_EQ(::mkfifo(out.file("fifo").c_str(), 0600), 0);
    std::string piped;
    std::jthread reader([&] {
        std::ifstream fifo(out.file("fifo"));  // waits for the writer, as a collector would
        piped.assign(std::istreambuf_iterator<char>(fifo), {});
    });
    ASSERT_EQ(vantreel({"export", "prometheus", "--output", out.file("fifo")}).exitCode, 0);
    reader.join();
    EXPECT_EQ(piped, expected);
    EXPECT_TRUE(std::filesystem::is_fifo(out.file("fifo")));
    ShellCommandResult database = vantreel({"export", "sqlite", out.file("fifo")});
    EXPECT_EQ(database.exitCode, 1) << database.standardError;

    ShellCommandResult standardOutput = vantreel({"export", "prometheus", "--output", "-"});
    EXPECT_EQ(standardOutput.standardOutput, expected);
    ShellCommandResult folder = vantreel({"export", "prometheus", "--output", out.path()});
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_NE(folder.standardError.find("is no file"), std::string::npos) << folder.standardError;
    EXPECT_TRUE(std::filesystem::is_directory(out.path()));
}

// Saved items that cannot be read are pending updates nobody knows of: their source is not up.
TEST_F(ExportHostTest, ASourceWhoseSavedItemsCannotBeReadIsNotUp) {
    PersistedScanResults results;
    results.packages = {savedPackage(PackageType::AptPackage, "openssl", "3.0.11-1~deb12u2", "3.0.15-1~deb12u1")};
    results.metadata = ScanMetadata{};
    results.metadata->sources = {SourceScanState{"apt", "apt", std::nullopt, std::nullopt}};
    save(results);
    EXPECT_NE(exposition().find("vantreel_source_up{source=\"apt\"} 1"), std::string::npos);
    writeFileAtomically(testing::dataFolder(home_.path()) + "/ScanResults/packages.json", "[{\"name\": \"openssl\"");
    const std::string damaged = exposition();
    EXPECT_NE(damaged.find("vantreel_source_up{source=\"apt\"} 0"), std::string::npos) << damaged;
}

// The setting makes every scan write the file once its results are saved: a scan at the
// command line and the background agent's.
TEST_F(ExportHostTest, EveryScanWritesTheTextfileWhenTheSettingNamesAFolder) {
    testing::showOnly(home_.path(), {});
    testing::TempDir folder("vt-textfiles");
    const std::string file = folder.file("vantreel.prom");
    EXPECT_EQ(vantreel({"settings", "set", "PrometheusTextfileDirectory", "relative/folder"}).exitCode, 2);
    ASSERT_EQ(vantreel({"settings", "set", "PrometheusTextfileDirectory", folder.path()}).exitCode, 0);

    ShellCommandResult scan = vantreel({"--accept-terms", "scan"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    std::optional<std::string> text = readFile(file);
    ASSERT_TRUE(text) << scan.standardError;
    EXPECT_EQ(runTool(kPromtool, {"check", "metrics"}, *text).exitCode, 0) << *text;
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(samplesOf(*text)["vantreel_last_scan_timestamp_seconds"], now, 300);

    // Two days on, past the check interval, the background agent scans and writes it again.
    std::filesystem::remove(file);
    const double later = now + 2 * 86400;
    environment_["VANTREEL_NOW"] = std::to_string(static_cast<long long>(later));
    ShellCommandResult background = vantreel({"--background-scan"});
    environment_.erase("VANTREEL_NOW");
    ASSERT_EQ(background.exitCode, 0) << background.standardError;
    text = readFile(file);
    ASSERT_TRUE(text) << background.standardError;
    EXPECT_NEAR(samplesOf(*text)["vantreel_last_scan_timestamp_seconds"], later, 1);

    // A folder gone since: the scan still succeeds, and says why the metrics are not there.
    ASSERT_EQ(vantreel({"settings", "set", "PrometheusTextfileDirectory", folder.file("gone")}).exitCode, 0);
    ShellCommandResult without = vantreel({"--accept-terms", "scan"});
    EXPECT_EQ(without.exitCode, 0);
    EXPECT_NE(without.standardError.find("PrometheusTextfileDirectory"), std::string::npos) << without.standardError;
}

}  // namespace
}  // namespace vt
