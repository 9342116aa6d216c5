#include "cli/AppsCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "base/Localization.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/TextTable.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
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
    json["id"] = AllUpdatesRowBuilder::shortId(application);
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

// The diagnostics with their dates in the words of every command's JSON.
Json diagnosticsJson(const ScanDiagnostics& diagnostics) {
    Json json = diagnostics.toJson();
    json["startedAt"] = jsonDate(diagnostics.startedAt);
    json["finishedAt"] = jsonDate(diagnostics.finishedAt);
    return json;
}

void printDiagnostics(const ScanDiagnostics& diagnostics) {
    const std::string seconds = localizedDecimal(secondsBetween(diagnostics.startedAt, diagnostics.finishedAt), 2);
    std::printf("\n%s\n", localized("apps.last_inventory", {seconds}).c_str());
    for (const ScanPathSummary& summary : diagnostics.pathSummaries) {
        const std::string duration = localizedDecimal(summary.duration, 2);
        std::printf("  %s\n", localized("apps.folder_summary",
                                        {oneLine(summary.displayName), oneLine(summary.rootPath),
                                         std::to_string(summary.discoveredApplications),
                                         std::to_string(summary.directoriesVisited), std::to_string(summary.filesScanned),
                                         std::to_string(summary.symlinksFollowed), duration})
                                  .c_str());
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

Json appImageJson(const Package& image, const std::string& id) {
    Json json = Json::object();
    json["kind"] = "appimage";
    json["id"] = id;
    json["name"] = image.name;
    json["version"] = image.version;
    json["path"] = image.sourceIdentifier.value_or("");
    json["updateInformation"] = optionalText(image.description);
    json["latestVersion"] = optionalText(image.latestVersion);
    return json;
}

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
        Json json = jsonDocument();
        Json& list = json["applications"] = Json::array();
        for (const Application& application : applications) {
            Json entry = applicationJson(application, sparkleApps, genericApps);
            entry["kind"] = "app";
            list.push_back(std::move(entry));
        }
        const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
        for (const Package& image : images) list.push_back(appImageJson(image, builder.shortId(image)));
        if (verbose) json["diagnostics"] = diagnostics ? diagnosticsJson(*diagnostics) : Json(nullptr);
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (applications.empty() && images.empty()) {
        // After a scan, "run vantreel scan" would send the user round in a circle.
        if (diagnostics) {
            const std::size_t folders = diagnostics->pathSummaries.size();
            const char* key = folders == 0   ? "apps.none_after_scan_no_folder"
                              : folders == 1 ? "apps.none_after_scan_one_folder"
                                             : "apps.none_after_scan";
            std::printf("%s\n", localized(key, {std::to_string(folders)}).c_str());
        } else {
            std::printf("%s\n", localized("apps.none").c_str());
        }
    } else {
        TextTable table({{localized("apps.column.kind"), Column::Elide::End, 3, 4},
                         {localized("table.column.name"), Column::Elide::End, 10, 0},
                         {localized("apps.column.version"), Column::Elide::Middle, 7, 0, true},
                         {localized("table.column.latest"), Column::Elide::Middle, 7, 0, true},
                         {localized("apps.column.mechanism"), Column::Elide::End, 6, 2},
                         {localized("apps.column.identifier"), Column::Elide::Middle, 10, 3},
                         {localized("apps.column.path"), Column::Elide::Middle, 10, 1}});
        for (const Application& application : applications) {
            std::optional<std::string> note;
            if (application.resolutionSource || application.resolutionReason) {
                std::string source =
                    application.resolutionSource ? std::string(rawValue(*application.resolutionSource)) : "-";
                if (application.resolutionReason) source += " (" + oneLine(*application.resolutionReason) + ")";
                note = localized("apps.resolution", {source});
            }
            table.add({"app", oneLine(application.name), oneLine(application.version),
                       oneLine(application.latestVersion.value_or("-")),
                       std::string(displayName(application.updateMechanism)), oneLine(application.bundleIdentifier),
                       Cell(oneLine(application.bundlePath), Tone::Dim)},
                      note);
        }
        // An AppImage's mechanism is the update information it carries.
        for (const Package& image : images) {
            table.add({"appimage", oneLine(image.name), oneLine(image.version), oneLine(image.latestVersion.value_or("-")),
                       oneLine(image.description.value_or("-")), "-",
                       Cell(oneLine(image.sourceIdentifier.value_or("")), Tone::Dim)},
                      std::nullopt);
        }
        std::fputs(table.render(Style::forStream(stdout), outputWidth()).c_str(), stdout);
    }
    if (verbose && diagnostics) printDiagnostics(*diagnostics);
    return kExitSuccess;
}

// The installed plug-ins, listed as they are now: they are shown, never checked for updates.
int extensions(bool asJson) {
    std::vector<SystemExtension> found = SystemExtensionManager().list();
    if (asJson) {
        Json json = jsonDocument();
        Json& list = json["extensions"] = Json::array();
        for (const SystemExtension& extension : found) {
            Json entry = extension.toJson();
            entry["installDate"] = extension.installDate ? Json(jsonDate(*extension.installDate)) : Json(nullptr);
            list.push_back(std::move(entry));
        }
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (found.empty()) {
        std::printf("%s\n", localized("apps.no_plugins").c_str());
        return kExitSuccess;
    }
    Style style = Style::forStream(stdout);
    for (const SystemExtension& extension : found) {
        std::printf("%s\n", style.bold(oneLine(extension.name)).c_str());
        auto field = [](const char* key, const std::string& value) {
            std::printf("  %s %s\n", localized(key).c_str(), value.c_str());
        };
        field("apps.plugin.type", std::string(displayName(extension.type)));
        field("apps.plugin.location", localized(extension.isSystemExtension ? "apps.plugin.all_users" : "apps.plugin.this_user"));
        field("apps.plugin.path", oneLine(extension.path));
        if (extension.version) field("apps.plugin.version", oneLine(*extension.version));
        if (extension.bundleIdentifier) field("apps.plugin.bundle_id", oneLine(*extension.bundleIdentifier));
        if (extension.vendor) field("apps.plugin.vendor", oneLine(*extension.vendor));
        field("apps.plugin.size", sparkleSizeText(static_cast<std::int64_t>(extension.fileSize)));
        if (extension.installDate) field("apps.plugin.installed", localDate(*extension.installDate));
    }
    return kExitSuccess;
}

}  // namespace

void addAppsCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("apps", localized("help.apps"));
    auto json = std::make_shared<bool>(false);
    auto plugins = std::make_shared<bool>(false);
    command->add_flag("--json", *json, localized("help.option.json"));
    command->add_flag("--extensions", *plugins, localized("help.option.extensions"));
    setExamples(*command, {"vantreel apps", "vantreel --verbose apps --json"});
    command->callback([json, plugins, exitCode, options] {
        *exitCode = *plugins ? extensions(*json) : apps(*json, options->verbose);
    });
}

}  // namespace vt::cli
