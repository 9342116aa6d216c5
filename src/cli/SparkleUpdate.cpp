#include "cli/SparkleUpdate.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "base/Localization.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "sources/sparkle/SparkleAppcastParser.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "system/CommandRunner.hpp"
#include "updates/AppInstallSecurityVerifier.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/InstallTools.hpp"
#include "updates/SparkleUpdateInstaller.hpp"

namespace vt::cli {

namespace {

// Asked on a terminal only: without one nobody can answer, so a running application stays.
bool askToQuit(const std::string& name) { return askYesOnTerminal(localized("sparkle.update.quit_prompt", {name})); }

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
        std::fprintf(stderr, "\r\033[K%s%3d %% %s", bar.c_str(), percent, label.c_str());
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

}  // namespace

std::optional<Application> sparkleApplication(const AllUpdateRow& row) {
    if (row.kind != AllUpdateRow::Kind::Application || !row.bundlePath) return std::nullopt;
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundlePath == *row.bundlePath && application.updateMechanism == UpdateMechanism::Sparkle) {
            return application;
        }
    }
    return std::nullopt;
}

SparkleUpdateOutcome installSparkleRelease(const Application& application, const SparkleUpdateRun& run) {
    auto failed = [](std::string message) {
        SparkleUpdateOutcome outcome;
        outcome.kind = SparkleUpdateOutcome::Kind::Failed;
        outcome.message = std::move(message);
        return outcome;
    };
    // The bundle and its feed are read again: the key and the release must be today's.
    SparkleManager& sparkle = SparkleManager::shared();
    std::optional<SparkleApp> app = sparkle.inspectBundle(application.bundlePath);
    // The feed a rule named, as the check that offered the update read it.
    std::optional<std::string> ruleFeed;
    if (application.matchedRuleIdentifier) {
        if (auto rule = AppRuleCatalogService::shared()->ruleFor(application)) ruleFeed = rule->rule.sparkleFeedURL;
    }
    if (!app && ruleFeed) {
        app.emplace();
        app->id = application.bundlePath;
        app->bundlePath = application.bundlePath;
        app->currentVersion = application.version;
    }
    if (!app) return failed("no appcast found in the application");
    if (ruleFeed) app->feedURL = *ruleFeed;
    app->name = application.name;
    std::optional<SparkleItem> item = sparkle.checkFeed(*app, run.stop);
    if (!item || !item->downloadURL || !item->displayVersion()) return failed("its appcast offers no release to install");

    SparkleUpdateInstaller::Target target{.id = app->id, .name = application.name, .bundlePath = application.bundlePath,
                                          .installedVersion = application.version,
                                          .installedBuildNumber = application.buildNumber};
    // A DSA key (a PEM text) belongs to the old signing scheme, which is not installed directly.
    if (app->publicKey && app->publicKey->find("-----BEGIN") == std::string::npos) target.publicKeyBase64 = app->publicKey;
    SparkleUpdateInstaller::Release release{.version = *item->displayVersion(), .buildNumber = item->version,
                                            .downloadURL = *item->downloadURL, .signatureBase64 = item->edSignature,
                                            .expectedFileSize = item->fileSize};
    SparkleUpdateInstaller::Environment environment;
    environment.network = &Context::shared().network();
    environment.privileged = &Context::shared().privilegedOperations();
    // The new bundle passes the same signature, Gatekeeper and team checks as every other
    // install; where codesign is missing it is refused, never installed unchecked.
    auto verifier = std::make_shared<AppInstallSecurityVerifier>(CommandRunner::shared(), InstallTools::fromEnvironment());
    environment.signatureCheck = [verifier, name = application.name,
                                  installed = application.bundlePath](const std::string& bundle) -> std::optional<std::string> {
        try {
            verifier->verify(bundle, name, installed);
            return std::nullopt;
        } catch (const DirectDownloadError& error) {
            return error.message();
        }
    };
    environment.confirmQuit = run.interactive ? std::function<bool(const std::string&)>(askToQuit)
                                              : std::function<bool(const std::string&)>();
    std::string delegated;
    environment.openApp = [&delegated](const std::string& message) { delegated = message; };

    SparkleUpdateInstaller installer(std::move(target), std::move(release), std::move(environment), run.onProgress);
    std::stop_callback cancelOnStop(run.stop, [&installer] { installer.cancel(); });
    SparkleUpdateOutcome outcome = installer.install();
    if (outcome.kind == SparkleUpdateOutcome::Kind::OpenedApp && outcome.message.empty()) outcome.message = delegated;
    return outcome;
}

bool updateSparkleApplication(const Application& application, bool json, Json& report) {
    Style out = Style::forStream(stdout);
    std::string id = "app:";
    id += application.bundleIdentifier;
    Json entry = {{"name", application.name}, {"id", id}};
    SparkleUpdateOutcome outcome;
    {
        PhaseDisplay display(json);
        std::stop_source stop;
        InterruptWatcher watcher([&stop] { stop.request_stop(); });
        SparkleUpdateRun run{.interactive = !json,
                             .onProgress = [&display](double fraction, std::string_view phase) { display.show(fraction, phase); },
                             .stop = stop.get_token()};
        outcome = installSparkleRelease(application, run);
    }
    switch (outcome.kind) {
        case SparkleUpdateOutcome::Kind::Installed:
            entry["success"] = true;
            entry["newVersion"] = outcome.version;
            if (!json) {
                std::printf("%s\n", out.green(localized("update.item_success", {application.name,
                                                                                 displayVersion(application.version),
                                                                                 displayVersion(outcome.version)}))
                                        .c_str());
            }
            report.push_back(std::move(entry));
            return true;
        case SparkleUpdateOutcome::Kind::OpenedApp:
            entry["success"] = false;
            entry["openedApp"] = true;
            entry["message"] = outcome.message;
            if (!json) std::printf("%s\n", outcome.message.c_str());
            report.push_back(std::move(entry));
            return false;
        case SparkleUpdateOutcome::Kind::Failed: break;
    }
    entry["success"] = false;
    entry["error"] = outcome.message;
    if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {application.name, outcome.message})).c_str());
    report.push_back(std::move(entry));
    return false;
}

}  // namespace vt::cli
