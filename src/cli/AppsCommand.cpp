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

// The AppImages of the last scan: the AppImage source's listing, saved with the scan's results.
std::vector<Package> savedAppImages() {
    std::vector<Package> images;
    for (Package& package : Context::shared().persistence().load().packages) {
        if (package.type == PackageType::AppImage) images.push_back(std::move(package));
    }
    return images;
}

Json appImageJson(const Package& image) {
    Json json = Json::object();
    json["kind"] = "appimage";
    json["name"] = image.name;
    json["version"] = image.version;
    json["path"] = image.sourceIdentifier.value_or("");
    json["updateInformation"] = optionalText(image.description);
    json["latestVersion"] = optionalText(image.latestVersion);
    return json;
}

// One line of the text listing, a bundle's or an AppImage's.
struct ListedApp {
    std::string kind;
    std::string name;
    std::string version;
    std::string latest;
    std::string mechanism;
    std::string identifier;
    std::string path;
    const Application* bundle = nullptr;
};

bool byName(const std::string& aName, const std::string& aPath, const std::string& bName, const std::string& bPath) {
    return toLower(aName) != toLower(bName) ? toLower(aName) < toLower(bName) : aPath < bPath;
}

int apps(bool asJson, bool verbose) {
    ApplicationManager& manager = Context::shared().applications();
    std::vector<Application> applications = manager.applications();
    std::sort(applications.begin(), applications.end(), [](const Application& a, const Application& b) {
        return byName(a.name, a.bundlePath, b.name, b.bundlePath);
    });
    std::vector<Package> images = savedAppImages();
    std::sort(images.begin(), images.end(), [](const Package& a, const Package& b) {
        return byName(a.name, a.sourceIdentifier.value_or(""), b.name, b.sourceIdentifier.value_or(""));
    });
    std::optional<ScanDiagnostics> diagnostics = manager.scanDiagnostics();
    if (asJson) {
        const std::string results = ScanResultsPersistence::defaultFolder();
        std::vector<SparkleApp> sparkleApps = SparkleManager::load(results);
        std::vector<GenericUpdaterApp> genericApps = GenericUpdaterManager::load(results);
        Json json = Json::object();
        Json& list = json["applications"] = Json::array();
        for (const Application& application : applications) {
            Json entry = applicationJson(application, sparkleApps, genericApps);
            entry["kind"] = "app";
            list.push_back(std::move(entry));
        }
        for (const Package& image : images) list.push_back(appImageJson(image));
        if (verbose) json["diagnostics"] = diagnostics ? diagnostics->toJson() : Json(nullptr);
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    std::vector<ListedApp> listed;
    for (const Application& application : applications) {
        listed.push_back({"app", oneLine(application.name), application.version, application.latestVersion.value_or("-"),
                          std::string(displayName(application.updateMechanism)), application.bundleIdentifier,
                          oneLine(application.bundlePath), &application});
    }
    for (const Package& image : images) {
        listed.push_back({"appimage", oneLine(image.name), image.version, image.latestVersion.value_or("-"),
                          oneLine(image.description.value_or("-")), "-", oneLine(image.sourceIdentifier.value_or(""))});
    }
    if (listed.empty()) {
        std::printf("No applications found yet: run vantreel scan.\n");
    } else {
        Style style = Style::forStream(stdout);
        std::size_t kindWidth = 4, nameWidth = 4, versionWidth = 7, latestWidth = 6, mechanismWidth = 9, identifierWidth = 17;
        for (const ListedApp& app : listed) {
            kindWidth = std::max(kindWidth, displayWidth(app.kind));
            nameWidth = std::max(nameWidth, displayWidth(app.name));
            versionWidth = std::max(versionWidth, displayWidth(app.version));
            latestWidth = std::max(latestWidth, displayWidth(app.latest));
            mechanismWidth = std::max(mechanismWidth, displayWidth(app.mechanism));
            identifierWidth = std::max(identifierWidth, displayWidth(app.identifier));
        }
        std::printf("%s\n", style.bold(padRight("KIND", kindWidth) + "  " + padRight("NAME", nameWidth) + "  " +
                                       padRight("VERSION", versionWidth) + "  " + padRight("LATEST", latestWidth) + "  " +
                                       padRight("MECHANISM", mechanismWidth) + "  " +
                                       padRight("BUNDLE IDENTIFIER", identifierWidth) + "  PATH")
                                .c_str());
        for (const ListedApp& app : listed) {
            std::printf("%s  %s  %s  %s  %s  %s  %s\n", padRight(app.kind, kindWidth).c_str(),
                        padRight(app.name, nameWidth).c_str(), padRight(app.version, versionWidth).c_str(),
                        padRight(app.latest, latestWidth).c_str(), padRight(app.mechanism, mechanismWidth).c_str(),
                        padRight(app.identifier, identifierWidth).c_str(), style.dim(app.path).c_str());
            const Application* application = app.bundle;
            if (application != nullptr && (application->resolutionSource || application->resolutionReason)) {
                std::string source =
                    application->resolutionSource ? std::string(rawValue(*application->resolutionSource)) : "-";
                std::printf("    source: %s%s\n", source.c_str(),
                            application->resolutionReason ? (" (" + oneLine(*application->resolutionReason) + ")").c_str()
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
