#include "cli/AppsCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanCommand.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/inventory/SystemExtensionManager.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"

namespace vt::cli {

namespace {

Json optionalText(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

Json applicationJson(const Application& application, const std::vector<SparkleApp>& sparkleApps,
                     const std::vector<GenericUpdaterApp>& genericApps) {
    Json json = Json::object();
    json["name"] = application.name;
    json["version"] = application.version;
    json["buildNumber"] = optionalText(application.buildNumber);
    json["bundleIdentifier"] = application.bundleIdentifier;
    json["bundlePath"] = application.bundlePath;
    json["updateMechanism"] = std::string(rawValue(application.updateMechanism));
    json["resolutionSource"] =
        application.resolutionSource ? Json(std::string(rawValue(*application.resolutionSource))) : Json(nullptr);
    json["resolutionReason"] = optionalText(application.resolutionReason);
    json["latestVersion"] = optionalText(application.latestVersion);
    json["sparkleAppcastURL"] = optionalText(application.sparkleAppcastURL);
    json["appStoreID"] = optionalText(application.appStoreID);
    json["downloadURL"] = optionalText(application.downloadURL);
    const SparkleApp* release = recordAt(sparkleApps, application.bundlePath);
    json["sparkle"] = release ? sparkleReleaseJson(*release) : Json(nullptr);
    const GenericUpdaterApp* updater = recordAt(genericApps, application.bundlePath);
    json["genericUpdater"] = updater ? genericUpdaterJson(*updater) : Json(nullptr);
    return json;
}

void printDiagnostics(const ScanDiagnostics& diagnostics) {
    double seconds = secondsBetween(diagnostics.startedAt, diagnostics.finishedAt);
    std::printf("\nLast inventory: %.2f s\n", seconds);
    for (const ScanPathSummary& summary : diagnostics.pathSummaries) {
        std::printf("  %s (%s): %lld apps, %lld folders, %lld files, %lld links, %.2f s\n",
                    oneLine(summary.displayName).c_str(), oneLine(summary.rootPath).c_str(),
                    summary.discoveredApplications, summary.directoriesVisited, summary.filesScanned,
                    summary.symlinksFollowed, summary.duration);
        for (const std::string& error : summary.errors) std::printf("    ! %s\n", oneLine(error).c_str());
    }
}

int apps(bool asJson, bool verbose) {
    ApplicationManager& manager = Context::shared().applications();
    std::vector<Application> applications = manager.applications();
    std::sort(applications.begin(), applications.end(), [](const Application& a, const Application& b) {
        return toLower(a.name) != toLower(b.name) ? toLower(a.name) < toLower(b.name) : a.bundlePath < b.bundlePath;
    });
    std::optional<ScanDiagnostics> diagnostics = manager.scanDiagnostics();
    if (asJson) {
        const std::string results = ScanResultsPersistence::defaultFolder();
        std::vector<SparkleApp> sparkleApps = SparkleManager::load(results);
        std::vector<GenericUpdaterApp> genericApps = GenericUpdaterManager::load(results);
        Json json = Json::object();
        Json& list = json["applications"] = Json::array();
        for (const Application& application : applications) list.push_back(applicationJson(application, sparkleApps, genericApps));
        if (verbose) json["diagnostics"] = diagnostics ? diagnostics->toJson() : Json(nullptr);
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (applications.empty()) {
        std::printf("No applications found yet: run vantreel scan.\n");
    } else {
        Style style = Style::forStream(stdout);
        std::size_t nameWidth = 4, versionWidth = 7, latestWidth = 6, mechanismWidth = 9, identifierWidth = 17;
        for (const Application& application : applications) {
            nameWidth = std::max(nameWidth, displayWidth(oneLine(application.name)));
            versionWidth = std::max(versionWidth, displayWidth(application.version));
            latestWidth = std::max(latestWidth, displayWidth(application.latestVersion.value_or("-")));
            mechanismWidth = std::max(mechanismWidth, displayWidth(displayName(application.updateMechanism)));
            identifierWidth = std::max(identifierWidth, displayWidth(application.bundleIdentifier));
        }
        std::printf("%s\n", style.bold(padRight("NAME", nameWidth) + "  " + padRight("VERSION", versionWidth) + "  " +
                                       padRight("LATEST", latestWidth) + "  " + padRight("MECHANISM", mechanismWidth) +
                                       "  " + padRight("BUNDLE IDENTIFIER", identifierWidth) + "  PATH")
                                .c_str());
        for (const Application& application : applications) {
            std::printf("%s  %s  %s  %s  %s  %s\n", padRight(oneLine(application.name), nameWidth).c_str(),
                        padRight(application.version, versionWidth).c_str(),
                        padRight(application.latestVersion.value_or("-"), latestWidth).c_str(),
                        padRight(displayName(application.updateMechanism), mechanismWidth).c_str(),
                        padRight(application.bundleIdentifier, identifierWidth).c_str(),
                        style.dim(oneLine(application.bundlePath)).c_str());
            if (application.resolutionSource || application.resolutionReason) {
                std::string source =
                    application.resolutionSource ? std::string(rawValue(*application.resolutionSource)) : "-";
                std::printf("    source: %s%s\n", source.c_str(),
                            application.resolutionReason ? (" (" + oneLine(*application.resolutionReason) + ")").c_str()
                                                         : "");
            }
        }
    }
    if (verbose && diagnostics) printDiagnostics(*diagnostics);
    return kExitSuccess;
}

// The installed plug-ins, listed as they are now: they are shown, never checked for updates.
int extensions(bool asJson) {
    std::vector<SystemExtension> found = SystemExtensionManager().list();
    if (asJson) {
        Json json = Json::object();
        Json& list = json["extensions"] = Json::array();
        for (const SystemExtension& extension : found) list.push_back(extension.toJson());
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (found.empty()) {
        std::printf("No plug-ins installed.\n");
        return kExitSuccess;
    }
    Style style = Style::forStream(stdout);
    for (const SystemExtension& extension : found) {
        std::printf("%s\n", style.bold(oneLine(extension.name)).c_str());
        std::printf("  Type: %s\n", std::string(displayName(extension.type)).c_str());
        std::printf("  Location: %s\n", extension.isSystemExtension ? "all users" : "this user");
        std::printf("  Path: %s\n", oneLine(extension.path).c_str());
        if (extension.version) std::printf("  Version: %s\n", oneLine(*extension.version).c_str());
        if (extension.bundleIdentifier) std::printf("  Bundle ID: %s\n", oneLine(*extension.bundleIdentifier).c_str());
        if (extension.vendor) std::printf("  Vendor: %s\n", oneLine(*extension.vendor).c_str());
        std::printf("  Size: %s\n", sparkleSizeText(static_cast<std::int64_t>(extension.fileSize)).c_str());
        if (extension.installDate) std::printf("  Installed: %s\n", localDate(*extension.installDate).c_str());
    }
    return kExitSuccess;
}

}  // namespace

void addAppsCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("apps", "List the installed applications found by the last scan");
    auto json = std::make_shared<bool>(false);
    auto plugins = std::make_shared<bool>(false);
    command->add_flag("--json", *json, "Print the applications as JSON");
    command->add_flag("--extensions", *plugins, "List the installed plug-ins instead (display only)");
    command->callback([json, plugins, exitCode, options] {
        *exitCode = *plugins ? extensions(*json) : apps(*json, options->verbose);
    });
}

}  // namespace vt::cli
