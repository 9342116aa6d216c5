#include "cli/ExportCommand.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include <CLI/CLI.hpp>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/ResultsView.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PrometheusExposition.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "core/SqliteExport.hpp"
#include "managers/system/AptManager.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"

namespace vt::cli {

namespace {

constexpr const char* kTextfileSetting = "PrometheusTextfileDirectory";
constexpr const char* kRebootRequiredFile = "/run/reboot-required";

const Logger& logger() {
    static const Logger log("Export");
    return log;
}

// apt's upgrades as its own cache has them now, as the community's collector reads them,
// where the saved scan ran apt; or why the cache could not be read.
struct AptFigures {
    std::optional<AptSummary> summary;
    std::optional<std::string> unreadable;
};

AptFigures aptFigures(const UpdatesExport& data) {
    const std::string aptId = sourceIdOf(PackageType::AptPackage, ManagerRegistry::sources());
    const bool scanned = std::any_of(data.sources.begin(), data.sources.end(),
                                     [&](const ExportedSource& source) { return source.id == aptId; });
    if (!scanned) return {};
    AptCache::Reading reading = AptCache::read({}, AptManager::Options{}.cacheFolder);
    if (reading.failure) return {std::nullopt, localized("log.export.apt_cache_unreadable", {*reading.failure})};
    std::error_code error;
    return {summarizeApt(reading, std::filesystem::exists(kRebootRequiredFile, error)), std::nullopt};
}

// The saved results, made into the table exactly as `vantreel list` makes it.
UpdatesExport savedExport() {
    Context& context = Context::shared();
    PersistedScanResults results = context.persistence().load();
    // A source whose saved items cannot be read is not up: its pending updates are unknown,
    // not none.
    for (const SourceRow& row : ManagerRegistry::sources()) {
        for (const std::string& file : results.unreadableFiles) {
            const bool keptThere = std::any_of(row.types.begin(), row.types.end(), [&](PackageType type) {
                return ScanResultsPersistence::fileFor(type) == file;
            });
            if (!keptThere || !results.metadata) continue;
            for (SourceScanState& state : results.metadata->sources) {
                if (state.id == row.id && !state.failure) state.failure = localized("list.unreadable_results", {file});
            }
        }
    }
    if (!results.metadata) throw ExportError(ExportError::Kind::NoResults, localized("list.empty"));
    SettingsManager& settings = context.settings();
    const bool allowPreRelease = context.defaults().boolValue("ShowPreReleaseUpdates").value_or(false);
    ScanReport report = makeReport(std::move(results.packages), ScanProgressSnapshot{}, allowPreRelease);
    if (settings.isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        report.applications = context.applications().applications();
    }
    attachTable(report, TableRequest{});
    const AllUpdatesDisplayModel& table = *report.table->model;
    IgnoreFilter filter(currentIgnoreState(), table.sourceRows);
    UpdatesExport data = makeUpdatesExport({
        .metadata = *results.metadata,
        .packages = report.packages,
        .applications = report.applications,
        .allowPreRelease = allowPreRelease,
        .table = table,
        .filter = filter,
        .isShown = [&settings](ManagerToggleKey key) { return settings.isVisible(key); },
        .registrations = ManagerRegistry::sources(),
        .programVersion = VT_PROGRAM_VERSION,
    });
    return data;
}

// The exposition of the saved results with apt's figures. Without them when its cache cannot
// be read (the program copied without its apt module): everything else is still exported,
// and standard error says what was left out.
std::string prometheusText() {
    UpdatesExport data = savedExport();
    AptFigures apt = aptFigures(data);
    if (apt.unreadable) {
        logger().warning(*apt.unreadable);
        std::fprintf(stderr, "vantreel export: %s\n", apt.unreadable->c_str());
    }
    data.apt = std::move(apt.summary);
    return prometheusExposition(data);
}

// The file a path names, links followed: a link made elsewhere (a textfile folder's, osquery's)
// stays a link, and what is written goes to the file it names.
std::filesystem::path followLinks(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path target = path;
    for (int hops = 0; hops < 40 && fs::is_symlink(target, error); ++hops) {
        const fs::path next = fs::read_symlink(target, error);
        if (error) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

void writeThrough(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    bool written = fd >= 0;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        written = count > 0;
        if (written) done += static_cast<std::size_t>(count);
    }
    const int savedErrno = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) written = false;
    if (!written) {
        throw ExportError(ExportError::Kind::WriteFailed, path + ": " + std::generic_category().message(savedErrno));
    }
}

// A file is replaced whole and keeps its permissions; a device or a pipe (/dev/stdout, a FIFO
// a collector reads) is written to as a shell's redirection would, never replaced; "-" is
// standard output.
void writeFile(const std::string& path, const std::string& text) {
    namespace fs = std::filesystem;
    if (path == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    const fs::path target = followLinks(path);
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (fs::is_character_file(status) || fs::is_fifo(status)) return writeThrough(target.string(), text);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        throw ExportError(ExportError::Kind::WriteFailed, localized("export.not_a_file", {path}));
    }
    const unsigned permissions = fs::exists(status) ? static_cast<unsigned>(status.permissions()) & 07777u : 0644u;
    try {
        writeFileAtomically(target.string(), text, permissions);
    } catch (const FileWriteError& error) {
        throw ExportError(ExportError::Kind::WriteFailed, error.what());
    }
}

// "vantreel.prom" in a node exporter's textfile folder, which must exist: a mistyped folder
// would otherwise be made and never read.
void writeTextfile(const std::string& folder) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        throw ExportError(ExportError::Kind::NotAFolder, localized("export.not_a_folder", {folder}));
    }
    writeFile(folder + "/" + std::string(kPrometheusTextfileName), prometheusText());
}

int failed(const ExportError& error) {
    std::fprintf(stderr, "vantreel export: %s\n", error.description().c_str());
    return kExitFailure;
}

struct PrometheusArguments {
    std::string output;
    std::string textfileFolder;
};

int exportPrometheus(const PrometheusArguments& arguments) {
    try {
        if (!arguments.textfileFolder.empty()) {
            writeTextfile(arguments.textfileFolder);
        } else if (!arguments.output.empty()) {
            writeFile(arguments.output, prometheusText());
        } else {
            const std::string text = prometheusText();
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
    } catch (const ExportError& error) {
        return failed(error);
    }
    return kExitSuccess;
}

// The file the database replaces whole, a link followed to the file it names (a link made for
// osquery stays one). A file that is there and is no SQLite database (a note, a typo's
// victim) is refused rather than replaced.
std::string databaseTarget(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target = followLinks(path);
    const fs::file_status status = fs::status(target, error);
    if (!fs::exists(status)) return target.string();
    constexpr std::string_view kHeader("SQLite format 3\0", 16);
    // Neither a folder, a device, a pipe (whose opening would wait for a writer) nor a file we
    // cannot read is replaced.
    std::string start = "?";
    if (fs::is_regular_file(status)) {
        if (std::ifstream file(target, std::ios::binary); file) {
            start.assign(kHeader.size(), '\0');
            file.read(start.data(), static_cast<std::streamsize>(start.size()));
            start.resize(static_cast<std::size_t>(file.gcount()));
        }
    }
    if (!start.empty() && start != kHeader) {
        throw ExportError(ExportError::Kind::NotADatabase, localized("export.not_a_database", {path}));
    }
    return target.string();
}

int exportSqlite(const std::string& path) {
    try {
        writeSqliteExport(savedExport(), databaseTarget(path));
    } catch (const ExportError& error) {
        return failed(error);
    }
    return kExitSuccess;
}

int printOsqueryConfiguration(const std::string& databasePath) {
    // osquery reads the file from wherever it runs: the path must not depend on our folder.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(databasePath, error);
    if (error) {
        std::fprintf(stderr, "vantreel export: %s: %s\n", databasePath.c_str(), error.message().c_str());
        return kExitFailure;
    }
    std::printf("%s\n", dumpJson(osqueryConfiguration(absolute.lexically_normal().string()), 2).c_str());
    return kExitSuccess;
}

}  // namespace

void addExportCommand(CLI::App& app, int* exitCode) {
    auto* exportCommand = app.add_subcommand("export", localized("help.export"));
    exportCommand->require_subcommand(1);
    setExamples(*exportCommand, {"vantreel export prometheus --textfile-dir /var/lib/prometheus/node-exporter"});

    // An empty name would quietly mean standard output, or a file that cannot be made.
    const CLI::Validator named([](std::string& value) { return value.empty() ? localized("export.empty_name") : std::string(); },
                               "", "non-empty");
    auto prometheus = std::make_shared<PrometheusArguments>();
    auto* prometheusCommand = exportCommand->add_subcommand("prometheus", localized("help.export_prometheus"));
    auto* output = prometheusCommand->add_option("--output", prometheus->output, localized("help.option.export_output"))
                       ->type_name("FILE")
                       ->check(named);
    auto* folder = prometheusCommand
                       ->add_option("--textfile-dir", prometheus->textfileFolder, localized("help.option.export_textfile_dir"))
                       ->type_name("DIR")
                       ->check(named);
    output->excludes(folder);
    setExamples(*prometheusCommand, {"vantreel export prometheus --output vantreel.prom"});
    prometheusCommand->callback([prometheus, exitCode] { *exitCode = exportPrometheus(*prometheus); });

    auto sqlitePath = std::make_shared<std::string>();
    auto* sqliteCommand = exportCommand->add_subcommand("sqlite", localized("help.export_sqlite"));
    sqliteCommand->add_option("FILE", *sqlitePath, localized("help.option.export_database"))->required()->type_name("FILE")->check(named);
    setExamples(*sqliteCommand, {"vantreel export sqlite updates.db"});
    sqliteCommand->callback([sqlitePath, exitCode] { *exitCode = exportSqlite(*sqlitePath); });

    auto databasePath = std::make_shared<std::string>();
    auto* osqueryCommand = exportCommand->add_subcommand("osquery-config", localized("help.export_osquery"));
    osqueryCommand->add_option("--db", *databasePath, localized("help.option.export_db"))->required()->type_name("FILE")->check(named);
    setExamples(*osqueryCommand, {"vantreel export osquery-config --db updates.db"});
    osqueryCommand->callback([databasePath, exitCode] { *exitCode = printOsqueryConfiguration(*databasePath); });
}

void exportAfterScan() {
    const std::string folder = Context::shared().settings().stringValue(kTextfileSetting);
    if (folder.empty()) return;
    try {
        writeTextfile(folder);
    } catch (const std::exception& error) {
        logger().error(localized("log.command_error", {std::string(kTextfileSetting), error.what()}));
        std::fprintf(stderr, "vantreel: %s: %s\n", kTextfileSetting, error.what());
    }
}

}  // namespace vt::cli
