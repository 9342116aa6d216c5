#include "cli/SparkleInstall.hpp"

#include <memory>
#include <string>

#include "base/Localization.hpp"
#include "cli/Terminal.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "sources/sparkle/SparkleAppcastParser.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "system/CommandRunner.hpp"
#include "updates/AppInstallSecurityVerifier.hpp"
#include "updates/DirectDownloadError.hpp"
#include "updates/InstallTools.hpp"

namespace vt::cli {

namespace {

// Asked on a terminal only: without one nobody can answer, so a running application stays.
bool askToQuit(const std::string& name) { return askYesOnTerminal(localized("sparkle.update.quit_prompt", {name})); }

}  // namespace

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
    if (!app) return failed(localized("sparkle.update.no_appcast"));
    if (ruleFeed) app->feedURL = *ruleFeed;
    app->name = application.name;
    std::optional<SparkleItem> item = sparkle.checkFeed(*app, run.stop);
    if (!item || !item->downloadURL || !item->displayVersion()) return failed(localized("sparkle.update.no_release"));
    // The release installed is the one the plan showed: a feed that moved since is scanned again first.
    if (application.latestVersion && *item->displayVersion() != *application.latestVersion) {
        return failed(localized("sparkle.update.release_moved", {*item->displayVersion(), *application.latestVersion}));
    }

    SparkleUpdateInstaller::Target target{.id = app->id, .name = application.name, .bundlePath = application.bundlePath,
                                          .installedVersion = application.version,
                                          .installedBuildNumber = application.buildNumber};
    // A DSA key (a PEM text) belongs to the old signing scheme, which is not installed directly.
    if (app->publicKey && app->publicKey->find("-----BEGIN") == std::string::npos) target.publicKeyBase64 = app->publicKey;
    SparkleUpdateInstaller::Release release{.version = *item->displayVersion(), .buildNumber = item->version,
                                            .downloadURL = *item->downloadURL, .signatureBase64 = item->edSignature,
                                            .expectedFileSize = item->fileSize};
    SparkleUpdateInstaller::Environment environment;
    environment.network = run.network;
    environment.privileged = run.privileged;
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

}  // namespace vt::cli
