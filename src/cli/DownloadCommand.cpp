#include "cli/DownloadCommand.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/PrintableText.hpp"
#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "cli/UpdatesTable.hpp"
#include "model/VersionRules.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/NetworkClient.hpp"
#include "updates/DirectDownloadManager.hpp"
#include "updates/GitHubInstallerService.hpp"
#include "updates/InstallTools.hpp"
#include "updates/ManualUpdateCoordinator.hpp"

namespace vt::cli {

namespace {

struct DownloadArguments {
    std::string item;
    bool json = false;
    ChangeFlags change;  // asked for when the download is to be installed
};

// The application of the last scan a row stands for.
std::optional<Application> applicationOf(const AllUpdateRow& row) {
    if (row.kind != AllUpdateRow::Kind::Application) return std::nullopt;
    for (const Application& application : Context::shared().applications().applications()) {
        if ((row.bundlePath && application.bundlePath == *row.bundlePath) ||
            (!row.bundleIdentifier.empty() && application.bundleIdentifier == row.bundleIdentifier)) {
            return application;
        }
    }
    return std::nullopt;
}

struct DownloadSource {
    std::string url;
    std::optional<std::string> sha256;  // as its publisher gives it
    std::optional<std::string> version;  // the publisher's, when it was looked up now
};

// The row's download address (with the checksum the scan found for it), else the one its
// publisher gives now (applications whose rule names a direct-download provider).
std::optional<DownloadSource> downloadSource(const AllUpdateRow& row, std::stop_token stop) {
    std::optional<Application> application = applicationOf(row);
    if (row.downloadURL && !row.downloadURL->empty()) {
        DownloadSource source{*row.downloadURL, std::nullopt};
        if (application && application->downloadURL == row.downloadURL) source.sha256 = application->downloadSHA256;
        return source;
    }
    if (!application) return std::nullopt;
    std::optional<DirectDownloadConfig> config = DirectDownloadResolver::configFor(*application);
    if (!config) return std::nullopt;
    DirectDownloadManager manager(Context::shared().network());
    DirectDownloadMetadata metadata = manager.latest(*config, stop);
    return DownloadSource{metadata.downloadURL, metadata.checksum, metadata.version};
}

// Progress: a bar redrawn in place on a terminal, a line per phase and per tenth otherwise.
class ProgressPrinter {
public:
    explicit ProgressPrinter(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~ProgressPrinter() { finish(); }

    void show(const ManualUpdateProgress& progress) {
        if (quiet_) return;
        const int tenth = progress.percent ? static_cast<int>(*progress.percent * 10) : -1;
        if (style_.isTerminal) {
            constexpr int kBarWidth = 24;
            const int percent = progress.percent ? static_cast<int>(*progress.percent * 100 + 0.5) : 0;
            if (progress.phase == phase_ && percent == shownPercent_) return;
            shownPercent_ = percent;
            phase_ = progress.phase;
            std::string bar;
            const int filled = progress.percent ? static_cast<int>(*progress.percent * kBarWidth + 0.5) : 0;
            const bool unicode = unicodeOutput();
            for (int i = 0; i < kBarWidth; ++i) bar += i < filled ? (unicode ? "█" : "#") : (unicode ? "░" : "-");
            std::string size;
            if (progress.sizeBytes) {
                size = "  ";
                size += megabytes(*progress.sizeBytes);
            }
            std::fprintf(stderr, "%s%s %s %3d%%%s", ownControl("\r\033[K").c_str(), style_.green(bar).c_str(), localized(progress.phase).c_str(),
                         percent, size.c_str());
            std::fflush(stderr);
            drawn_ = true;
            return;
        }
        if (progress.phase == phase_ && tenth == shownTenth_) return;
        phase_ = progress.phase;
        shownTenth_ = tenth;
        std::string line = localized(progress.phase);
        if (progress.percent) {
            line += ' ';
            line += std::to_string(static_cast<int>(*progress.percent * 100));
            line += " %";
        }
        if (progress.sizeBytes) {
            line += " (";
            line += megabytes(*progress.sizeBytes);
            line += ')';
        }
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    void finish() {
        if (!drawn_) return;
        std::fprintf(stderr, "\n");
        drawn_ = false;
    }

private:
    static std::string megabytes(std::uint64_t bytes) {
        return localizedDecimal(static_cast<double>(bytes) / 1e6, 1) + " MB";
    }

    bool quiet_;
    Style style_;
    std::string phase_;
    int shownPercent_ = -1;
    int shownTenth_ = -2;
    bool drawn_ = false;
};

// Whether the downloaded file of this row is installed over its bundle, as far as can be
// told before the download: the settings ask for it, the row is an application of ours and
// it names the version that would be installed (nothing else may be).
bool installsAfterDownload(const AllUpdateRow& row) {
    return Context::shared().settings().manualUpdateMode() == ManualUpdateMode::DownloadAndInstall &&
           row.kind == AllUpdateRow::Kind::Application && row.bundlePath && row.toggle != ManagerToggleKey::ShowSparkle &&
           row.latestVersion && !row.latestVersion->empty();
}

// The one place a downloaded update is handed to the installer. Until the installer of
// downloaded applications is part of this program, installing stays with `vantreel update`.
// The downloaded image or archive goes through the same chain as a release asset: unpacked,
// verified, put in place of the installed bundle, its version read again. An appcast's
// release is installed by `vantreel update`, which also checks the publisher's EdDSA
// signature; other rows (and package files) say how to install them instead.
void installDownloadedUpdate(const AllUpdateRow& row, const CompletedManualDownload& completed,
                             const std::optional<std::string>& sha256, bool json, Json& report) {
    const std::string file = completed.path();
    const bool installable = installsAfterDownload(row) &&
                             (file.ends_with(".dmg") || file.ends_with(".zip") || file.ends_with(".tar.gz"));
    if (!installable) {
        std::string command = "vantreel update ";
        command += row.shortId;
        report["install"] = command;
        if (!json) std::printf("%s\n", localized("download.install_with_update", {row.shortId}).c_str());
        return;
    }
    GitHubInstallerService installer(GitHubInstallerService::Options{
        .network = &Context::shared().network(),
        .runner = &CommandRunner::shared(),
        .privileged = &Context::shared().privilegedOperations(),
        .tools = InstallTools::fromEnvironment(),
        .confirmReplaceRunning = replaceRunningConsent(json),
    });
    GitHubInstallRequest request{row.name, *row.bundlePath, file, std::nullopt, row.latestVersion.value_or(""), sha256,
                                 file};
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    Style out = Style::forStream(stdout);
    try {
        GitHubInstallResult result = installer.install(
            request,
            [json](const GitHubInstallProgress& progress) {
                if (!json) std::fprintf(stderr, "%s\n", progress.message.c_str());
            },
            stop.get_token());
        report["installed"] = true;
        report["newVersion"] = result.installedVersion;
        Context::shared().recordInstalledApplications({*row.bundlePath});
        if (!json) {
            std::printf("%s\n", out.green(localized("update.item_success", {row.name, row.currentVersion,
                                                                              result.installedVersion}))
                                     .c_str());
        }
    } catch (const GitHubInstallError& error) {
        report["installed"] = false;
        report["installError"] = error.description();
        if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {row.name, error.description()})).c_str());
    }
}

int download(const DownloadArguments& arguments, const GlobalOptions& options) {
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    const std::vector<AllUpdateRow> everything = everyRow(savedSnapshot());  // the matches point into it
    std::vector<const AllUpdateRow*> rows = resolveRows(arguments.item, everything);
    if (rows.size() != 1) {
        reportUnresolved("download", arguments.item, rows);
        return kExitUsage;
    }
    const AllUpdateRow& row = *rows.front();
    // A package, or an application that names no download: no plan to show, nothing to fetch.
    const std::optional<Application> application = applicationOf(row);
    if (!(row.downloadURL && !row.downloadURL->empty()) &&
        !(application && DirectDownloadResolver::configFor(*application))) {
        std::fprintf(stderr, "vantreel download: %s\n", localized("download.nothing_to_download", {row.name, row.shortId}).c_str());
        return kExitUsage;
    }
    // The plan: what is fetched, and what it replaces when it is installed.
    const bool installs = installsAfterDownload(row);
    const std::string latest = row.latestVersion.value_or("?");
    Json plan = jsonDocument();
    plan["id"] = row.shortId;
    plan["name"] = row.name;
    plan["version"] = latest;
    plan["url"] = row.downloadURL ? Json(*row.downloadURL) : Json(nullptr);
    plan["installs"] = installs;
    if (installs) plan["replaces"] = *row.bundlePath;
    if (arguments.json && arguments.change.dryRun) {
        std::printf("%s\n", dumpJson(plan, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    std::FILE* planStream = arguments.json ? stderr : stdout;
    const std::string from = row.downloadURL.value_or(localized("download.plan.publisher"));
    std::fprintf(planStream, "%s\n", localized("download.plan.fetch", {row.name, latest, from}).c_str());
    if (installs) {
        std::fprintf(planStream, "%s\n",
                     localized("download.plan.install", {*row.bundlePath, row.currentVersion, latest}).c_str());
    }
    if (arguments.change.dryRun) return kExitSuccess;
    if (installs) {
        const Consent consent = askConsent(arguments.change, "download", localized("download.confirm", {row.name}));
        if (consent != Consent::Go) return exitStatusOf(consent);
    }
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    Style out = Style::forStream(stdout);
    Json report = jsonDocument();
    report["id"] = row.shortId;
    report["name"] = row.name;
    try {
        std::optional<DownloadSource> source = downloadSource(row, stop.get_token());
        if (!source) {
            std::fprintf(stderr, "vantreel download: %s\n", localized("download.no_address", {row.name}).c_str());
            return kExitFailure;
        }
        // The plan named a version: a publisher that moved on since is not followed.
        if (source->version && row.latestVersion &&
            compareVersions(*source->version, *row.latestVersion) != VersionOrder::Same) {
            std::fprintf(stderr, "vantreel download: %s\n",
                         localized("download.version_changed", {row.name, *source->version, *row.latestVersion}).c_str());
            return kExitFailure;
        }
        // Nothing that anyone on the way could change is downloaded.
        if (!startsWith(toLower(source->url), "https://")) {
            std::fprintf(stderr, "vantreel download: %s\n", localized("download.not_https", {row.name, source->url}).c_str());
            return kExitFailure;
        }
        ManualUpdateCoordinator coordinator(ManualUpdateCoordinator::Options{
            .network = &Context::shared().network(),
            .defaults = &Context::shared().defaults(),
            .runner = &CommandRunner::shared(),
        });
        ManualUpdateItem item{row.name, row.latestVersion, source->url, std::nullopt, source->sha256};
        ProgressPrinter printer(arguments.json);
        CompletedManualDownload completed =
            coordinator.download(item, [&printer](const ManualUpdateProgress& progress) { printer.show(progress); },
                                 stop.get_token());
        printer.finish();
        report["success"] = true;
        report["path"] = completed.path();
        report["fileURL"] = completed.fileURL;
        report["version"] = completed.version ? Json(*completed.version) : Json(nullptr);
        if (!arguments.json) std::printf("%s\n", out.green(localized("download.saved", {row.name, completed.path()})).c_str());
        if (Context::shared().settings().manualUpdateMode() == ManualUpdateMode::DownloadAndInstall) {
            installDownloadedUpdate(row, completed, source->sha256, arguments.json, report);
        }
        if (arguments.json) std::printf("%s\n", dumpJson(report, jsonIndentForStandardOutput()).c_str());
        // The file is kept; an install that was asked for and failed is a failure all the same.
        const bool installFailed = report.contains("installed") && report["installed"] == false;
        return installFailed ? kExitFailure : kExitSuccess;
    } catch (const CancellationError&) {
        std::fprintf(stderr, "%s\n", localized("update.cancelling").c_str());
        return kExitInterrupted;
    } catch (const std::exception& error) {
        std::string message = error.what();
        if (const auto* network = dynamic_cast<const NetworkError*>(&error)) message = network->description();
        if (arguments.json) {
            report["success"] = false;
            report["error"] = message;
            std::printf("%s\n", dumpJson(report, jsonIndentForStandardOutput()).c_str());
        } else {
            std::fprintf(stderr, "%s\n", out.red(localized("download.failed", {row.name, message})).c_str());
        }
        return kExitFailure;
    }
}

}  // namespace

void addDownloadCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<DownloadArguments>();
    auto* command = app.add_subcommand("download", localized("help.download"));
    command->add_option("item", arguments->item, localized("help.option.item"))->required()->type_name("ID");
    command->add_flag("--json", arguments->json, localized("help.option.json"));
    addChangeFlags(*command, arguments->change, "download");
    setExamples(*command, {"vantreel download app:com.example.editor"});
    command->callback([arguments, exitCode, options] { *exitCode = download(*arguments, *options); });
}

}  // namespace vt::cli
