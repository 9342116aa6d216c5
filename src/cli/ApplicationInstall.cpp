#include "cli/ApplicationInstall.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Signals.hpp"
#include "cli/SparkleInstall.hpp"
#include "cli/Terminal.hpp"
#include "core/ManagerRegistry.hpp"
#include "model/VersionRules.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "settings/DefaultsStore.hpp"
#include "sources/appstore/MacAppStoreUpdateCoordinator.hpp"
#include "sources/appstore/MasCliManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/PrivilegedOperations.hpp"
#include "updates/GitHubInstallerService.hpp"
#include "updates/InstallTools.hpp"

namespace vt::cli {

namespace {

// The stop an install obeys: the caller's, else Ctrl-C for as long as it runs.
class InstallStop {
public:
    explicit InstallStop(const InstallFeedback& feedback) {
        if (feedback.stop) {
            token_ = *feedback.stop;
            return;
        }
        watcher_ = std::make_unique<InterruptWatcher>([this] { source_.request_stop(); });
        token_ = source_.get_token();
    }
    std::stop_token token() const { return token_; }

private:
    std::stop_source source_;
    std::stop_token token_;
    std::unique_ptr<InterruptWatcher> watcher_;
};

// The privileged helper, which asks nobody, without the administrator prompt.
class HelperOnly final : public PrivilegedOperations {
public:
    explicit HelperOnly(PrivilegedOperations& inner) : inner_(inner) {}
    std::optional<std::string> helperReplaceApp(const std::string& installed, const std::string& fresh,
                                                const std::string& backup, const std::string& expectedTeamID) override {
        return inner_.helperReplaceApp(installed, fresh, backup, expectedTeamID);
    }
    bool canRequestAuthorization() const override { return false; }
    void replaceBundleWithAuthorization(const std::string& source, const std::string& destination,
                                        const std::string& reason, std::stop_token stop) override {
        none_.replaceBundleWithAuthorization(source, destination, reason, stop);
    }
    void normalizeBundlePermissions(const std::vector<std::string>& bundles, const std::string& reason,
                                    std::stop_token stop) override {
        none_.normalizeBundlePermissions(bundles, reason, stop);
    }

private:
    PrivilegedOperations& inner_;
    UnavailablePrivilegedOperations none_;
};

ApplicationInstallOutcome installed(const std::string& version) { return {true, version, {}}; }
ApplicationInstallOutcome notInstalled(std::string message) { return {false, {}, std::move(message)}; }

void printSuccess(const InstallFeedback& feedback, const std::string& name, const std::string& from,
                  const std::string& to) {
    if (!feedback.print) return;
    Style out = Style::forStream(stdout);
    std::printf("%s\n", out.green(localized("update.item_success", {name, from, to})).c_str());
}

void printFailure(const InstallFeedback& feedback, const std::string& name, const std::string& message) {
    if (!feedback.print) return;
    Style out = Style::forStream(stdout);
    std::printf("%s\n", out.red(localized("update.item_failed", {name, message})).c_str());
}

// `mas upgrade` for one application.
ApplicationInstallOutcome updateFromStore(const Application& application, const InstallFeedback& feedback,
                                          Json& report) {
    MacAppStoreUpdateCoordinator coordinator(MacAppStoreUpdateCoordinator::Options{
        .mas = &Context::shared().mas(), .runner = &CommandRunner::shared()});
    Json entry = {{"name", application.name}, {"appStoreID", application.appStoreID.value_or("")}};
    ApplicationInstallOutcome result;
    try {
        InstallStop stop(feedback);
        MacAppStoreUpdateCoordinator::Outcome outcome = coordinator.update(
            {application.appStoreID.value_or(""), application.name, application.bundlePath, application.version,
             application.latestVersion},
            stop.token());
        if (outcome.openedInAppStore) {
            entry["success"] = false;
            entry["openedInAppStore"] = true;
            // No store application here to open: the user is told where to go.
            result = notInstalled(localized("update.open_app_store",
                                            {application.name, MacAppStoreUpdateCoordinator::kUpdatesPageAddress}));
            if (feedback.print) {
                std::printf("%s\n", result.message.c_str());
                if (!Context::shared().mas().isInstalled()) {
                    std::printf("%s\n", localized("update.install_mas", {MasCliManager::kInstallCommand}).c_str());
                }
            }
        } else {
            entry["success"] = true;
            entry["newVersion"] = *outcome.newVersion;
            result = installed(*outcome.newVersion);
            printSuccess(feedback, application.name, displayVersion(application.version),
                         displayVersion(*outcome.newVersion));
        }
    } catch (const MacAppStoreUpdateError& error) {
        entry["success"] = false;
        entry["error"] = error.what();
        result = notInstalled(error.what());
        printFailure(feedback, application.name, error.what());
    }
    report.push_back(std::move(entry));
    return result;
}

// An update the operating system offers, installed by its tool's label.
ApplicationInstallOutcome installSystemUpdate(const SoftwareUpdate& update, const InstallFeedback& feedback,
                                              Json& report) {
    InstallStop stop(feedback);
    Json entry = {{"name", update.name}, {"id", shellSafeId("macos", update.id)}};
    int shownPercent = -1;
    auto progress = [&](double fraction, const std::string& status) {
        const int percent = static_cast<int>(fraction * 100);
        if (percent == shownPercent) return;
        shownPercent = percent;
        if (feedback.onProgress) feedback.onProgress(status + " " + std::to_string(percent) + " %");
        if (feedback.print) std::fprintf(stderr, "%s %d %%\n", status.c_str(), percent);
    };
    ApplicationInstallOutcome result;
    try {
        Context::shared().systemUpdates().install(update, progress, stop.token());
        entry["success"] = true;
        result = installed(update.version);
        printSuccess(feedback, update.name, "-", update.version);
    } catch (const std::exception& error) {
        // SoftwareUpdateError says what went wrong; a stop is the cancellation the user asked for.
        entry["success"] = false;
        entry["error"] = error.what();
        result = notInstalled(error.what());
        printFailure(feedback, update.name, error.what());
    }
    report.push_back(std::move(entry));
    return result;
}

// Releases whose direct install failed in a way a retry cannot mend, by bundle path: the
// application is updated by hand until a newer release appears.
constexpr const char* kDirectInstallDisabledKey = "GitHubDirectInstallDisabledVersions";

// Shows the installer's phases: a progress bar redrawn in place on a terminal, one line per
// phase otherwise.
class InstallProgressView {
public:
    explicit InstallProgressView(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~InstallProgressView() { finishLine(); }

    void show(const GitHubInstallProgress& progress) {
        if (quiet_) return;
        const bool downloading = progress.phase == GitHubInstallPhase::Downloading && progress.bytesDownloaded;
        if (downloading && style_.isTerminal) {
            constexpr std::size_t kWidth = 30;
            // A fraction out of range (a server's wrong length) still draws a bar, never a huge string.
            const double fraction = std::clamp(progress.progress, 0.0, 1.0);
            const auto filled = static_cast<std::size_t>(fraction * kWidth);
            // Appended piece by piece: GCC 12 at -O3 misreads a literal joined to temporaries.
            std::string bar = "\r";
            bar += localized("update.download_bar");
            bar += " [";
            bar.append(filled, '#');
            bar.append(kWidth - filled, ' ');
            bar += "] ";
            bar += std::to_string(static_cast<int>(fraction * 100));
            bar += " %";
            std::fputs(bar.c_str(), stderr);
            std::fflush(stderr);
            barShown_ = true;
            return;
        }
        if (downloading) return;  // a pipe gets the phases, not every percent
        finishLine();
        std::fprintf(stderr, "%s\n", style_.dim(progress.message).c_str());
    }

private:
    void finishLine() {
        if (barShown_) std::fputs("\n", stderr);
        barShown_ = false;
    }
    bool quiet_;
    Style style_;
    bool barShown_ = false;
};

// The checksum the last scan found for the application's download, when the row still
// offers that download.
std::optional<std::string> checksumOf(const std::string& bundlePath, const std::optional<std::string>& downloadURL) {
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundlePath == bundlePath && application.downloadURL == downloadURL) return application.downloadSHA256;
    }
    return std::nullopt;
}

// Installs the newest release asset of an application tracked through GitHub over the
// installed bundle.
ApplicationInstallOutcome installFromGitHub(const AllUpdateRow& row, const InstallFeedback& feedback, Json& report) {
    Json entry = {{"name", row.name}, {"id", row.shortId}};
    DefaultsStore& defaults = Context::shared().defaults();
    const std::string latest = row.latestVersion.value_or("");
    const Json disabled = defaults.object(kDirectInstallDisabledKey).value_or(Json::object());
    const std::string bundlePath = row.bundlePath.value_or("");
    if (disabled.contains(bundlePath) && disabled[bundlePath].is_string() && disabled[bundlePath].get<std::string>() == latest) {
        std::string message = localized("update.direct_install_disabled", {latest, row.downloadURL.value_or("")});
        entry["success"] = false;
        entry["error"] = message;
        printFailure(feedback, row.name, message);
        report.push_back(std::move(entry));
        return notInstalled(message);
    }
    InstallStop stop(feedback);
    HelperOnly helperOnly(Context::shared().privilegedOperations());
    GitHubInstallerService service(GitHubInstallerService::Options{
        .network = &Context::shared().network(),
        .runner = &CommandRunner::shared(),
        .privileged = feedback.adminPrompt ? &Context::shared().privilegedOperations()
                                           : static_cast<PrivilegedOperations*>(&helperOnly),
        .tools = InstallTools::fromEnvironment(),
        .confirmReplaceRunning = replaceRunningConsent(!feedback.ask),
    });
    GitHubInstallRequest request{row.name, bundlePath, repositoryOfAsset(row.downloadURL.value_or("")), row.downloadURL,
                                 latest, checksumOf(bundlePath, row.downloadURL)};
    ApplicationInstallOutcome result;
    try {
        GitHubInstallResult done;
        {
            InstallProgressView view(!feedback.print);
            done = service.install(request,
                                   [&](const GitHubInstallProgress& progress) {
                                       view.show(progress);
                                       if (feedback.onProgress) feedback.onProgress(progress.message);
                                   },
                                   stop.token());
        }
        entry["success"] = true;
        entry["newVersion"] = done.installedVersion;
        result = installed(done.installedVersion);
        printSuccess(feedback, row.name, displayVersion(row.currentVersion), displayVersion(done.installedVersion));
    } catch (const GitHubInstallError& error) {
        if (disablesDirectInstall(error.description()) && !latest.empty()) {
            try {
                defaults.update([&](Json& object) {
                    Json& versions = object[kDirectInstallDisabledKey];
                    if (!versions.is_object()) versions = Json::object();
                    versions[bundlePath] = latest;
                });
            } catch (const std::exception&) {
                // Unwritable preferences: the failure itself is what the user reads.
            }
        }
        entry["success"] = false;
        entry["error"] = error.description();
        result = notInstalled(error.description());
        printFailure(feedback, row.name, error.description());
    }
    report.push_back(std::move(entry));
    return result;
}

// A bar redrawn in place on a terminal; one line per phase otherwise.
class PhaseDisplay {
public:
    explicit PhaseDisplay(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~PhaseDisplay() {
        if (drawn_) std::fprintf(stderr, "\n");
    }
    void show(double fraction, std::string_view phase) {
        if (quiet_) return;
        const int percent = static_cast<int>(fraction * 100);
        if (phase == phase_ && percent == percent_) return;
        const bool newPhase = phase != phase_;
        phase_ = std::string(phase);
        percent_ = percent;
        std::string label = localized(phase_);
        if (!style_.isTerminal) {
            if (newPhase) std::fprintf(stderr, "%s\n", label.c_str());
            return;
        }
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::string bar = "[";
        bar += std::string(static_cast<std::size_t>(filled), '#');
        bar += std::string(static_cast<std::size_t>(kWidth - filled), ' ');
        bar += "] ";
        std::fprintf(stderr, "%s%s%3d %% %s", ownControl("\r\033[K").c_str(), bar.c_str(), percent, label.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

private:
    bool quiet_;
    Style style_;
    std::string phase_;
    int percent_ = -1;
    bool drawn_ = false;
};

// Installs the release of its appcast the scan offered, directly.
ApplicationInstallOutcome updateSparkleApplication(const Application& application, const InstallFeedback& feedback,
                                                   Json& report) {
    Json entry = {{"name", application.name}, {"id", shellSafeId("app", application.bundleIdentifier)}};
    SparkleUpdateOutcome outcome;
    {
        PhaseDisplay display(!feedback.print);
        InstallStop stop(feedback);
        HelperOnly helperOnly(Context::shared().privilegedOperations());
        std::string shownPhase;
        SparkleUpdateRun run{.interactive = feedback.ask,
                             .onProgress =
                                 [&](double fraction, std::string_view phase) {
                                     display.show(fraction, phase);
                                     // A row shows the phase, not every percent of it.
                                     if (!feedback.onProgress || phase == shownPhase) return;
                                     shownPhase = std::string(phase);
                                     feedback.onProgress(localized(shownPhase));
                                 },
                             .stop = stop.token(),
                             .network = &Context::shared().network(),
                             .privileged = feedback.adminPrompt ? &Context::shared().privilegedOperations()
                                                                : static_cast<PrivilegedOperations*>(&helperOnly)};
        outcome = installSparkleRelease(application, run);
    }
    switch (outcome.kind) {
        case SparkleUpdateOutcome::Kind::Installed:
            entry["success"] = true;
            entry["newVersion"] = outcome.version;
            printSuccess(feedback, application.name, displayVersion(application.version), displayVersion(outcome.version));
            report.push_back(std::move(entry));
            return installed(outcome.version);
        case SparkleUpdateOutcome::Kind::OpenedApp:
            entry["success"] = false;
            entry["openedApp"] = true;
            entry["message"] = outcome.message;
            if (feedback.print) std::printf("%s\n", outcome.message.c_str());
            report.push_back(std::move(entry));
            return notInstalled(outcome.message);
        case SparkleUpdateOutcome::Kind::Failed: break;
    }
    entry["success"] = false;
    entry["error"] = outcome.message;
    printFailure(feedback, application.name, outcome.message);
    report.push_back(std::move(entry));
    return notInstalled(outcome.message);
}

// The application of the last scan behind a row, when it has this update mechanism.
std::optional<Application> scannedApplication(const AllUpdateRow& row, UpdateMechanism mechanism) {
    if (row.kind != AllUpdateRow::Kind::Application || !row.bundlePath) return std::nullopt;
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundlePath == *row.bundlePath && application.updateMechanism == mechanism) return application;
    }
    return std::nullopt;
}

}  // namespace

PlanExtra ApplicationItem::planExtra() const {
    switch (via) {
        case Via::System: {
            const AllUpdateRow systemRow = AllUpdatesRowBuilder::systemUpdateRow(update);
            return {systemRow.shortId, systemRow.sourceId, "macOS", update.name, "-", update.version};
        }
        case Via::GitHub:
            return {row.shortId, row.sourceId, "GitHub Releases", row.name, row.currentVersion, row.latestVersion.value_or("?")};
        case Via::AppStore:
        case Via::Sparkle: break;
    }
    const AllUpdateRow appRow = AllUpdatesRowBuilder(ManagerRegistry::sources()).applicationRow(application, false);
    return {appRow.shortId, appRow.sourceId, via == Via::AppStore ? "Mac App Store" : "Sparkle", application.name,
            application.version, application.latestVersion.value_or("?")};
}

ApplicationItem storeItemOf(const Application& application) {
    ApplicationItem item;
    item.via = ApplicationItem::Via::AppStore;
    item.name = application.name;
    item.bundlePath = application.bundlePath;
    item.application = application;
    return item;
}

std::optional<ApplicationItem> applicationItemOf(const AllUpdateRow& row) {
    ApplicationItem item;
    item.name = row.name;
    if (row.kind == AllUpdateRow::Kind::Software) {
        for (const SoftwareUpdate& offered : Context::shared().systemUpdates().cachedUpdates()) {
            if ("macos:" + offered.id != row.id) continue;
            item.via = ApplicationItem::Via::System;
            item.update = offered;
            return item;
        }
        return std::nullopt;
    }
    if (row.kind != AllUpdateRow::Kind::Application) return std::nullopt;
    if (row.toggle == ManagerToggleKey::ShowGitHub && row.downloadURL && row.bundlePath) {
        item.via = ApplicationItem::Via::GitHub;
        item.bundlePath = *row.bundlePath;
        item.row = row;
        return item;
    }
    if (std::optional<Application> store = scannedApplication(row, UpdateMechanism::MacAppStore); store && store->appStoreID) {
        return storeItemOf(*store);
    }
    if (std::optional<Application> sparkle = scannedApplication(row, UpdateMechanism::Sparkle)) {
        item.via = ApplicationItem::Via::Sparkle;
        item.bundlePath = sparkle->bundlePath;
        item.application = std::move(*sparkle);
        return item;
    }
    return std::nullopt;
}

std::optional<UpdatePlan::LeftOut> notNewer(const ApplicationItem& item, bool allowPreRelease) {
    if (item.via == ApplicationItem::Via::System) return std::nullopt;  // offered by the system: newer
    const bool fromRow = item.via == ApplicationItem::Via::GitHub;
    const std::string& installed = fromRow ? item.row.currentVersion : item.application.version;
    const std::optional<std::string>& latest = fromRow ? item.row.latestVersion : item.application.latestVersion;
    if (isUpdateAvailable(installed, latest, allowPreRelease)) return std::nullopt;
    UpdatePlan::LeftOut left{.name = item.name, .source = item.planExtra().source};
    if (!latest || isPlaceholderVersion(*latest)) {
        left.reason = localized("update.app_latest_unknown", {left.source});
    } else if (compareVersions(*latest, installed) == VersionOrder::Same) {
        left.reason = localized("update.up_to_date", {installed});
        left.upToDate = true;
    } else if (compareVersions(*latest, installed) == VersionOrder::Ascending) {
        left.reason = localized("update.not_backwards", {*latest, installed});
    } else {
        left.reason = localized("update.not_offered", {*latest, installed});
        left.upToDate = true;
    }
    return left;
}

ApplicationInstallOutcome installApplicationItem(const ApplicationItem& item, const InstallFeedback& feedback,
                                                 Json& report) {
    switch (item.via) {
        case ApplicationItem::Via::AppStore: return updateFromStore(item.application, feedback, report);
        case ApplicationItem::Via::System: return installSystemUpdate(item.update, feedback, report);
        case ApplicationItem::Via::GitHub: return installFromGitHub(item.row, feedback, report);
        case ApplicationItem::Via::Sparkle: break;
    }
    return updateSparkleApplication(item.application, feedback, report);
}

}  // namespace vt::cli
