#include "cli/SofaCommand.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "model/VersionRules.hpp"
#include "sources/macos/SofaService.hpp"
#include "sources/macos/XProtectService.hpp"
#include "system/FileSystemManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/NetworkClient.hpp"

namespace vt::cli {

namespace {

// The running macOS, from the system's own tool; nothing on another system.
std::optional<std::string> runningMacOSVersion() {
    try {
        ShellCommandResult result = CommandRunner::shared().execute(
            CommandRequest{.command = "/usr/bin/sw_vers", .arguments = {"-productVersion"}, .timeout = 5});
        std::string version = trim(result.standardOutput);
        if (!version.empty()) return version;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

Json optionalText(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

Json comparisonJson(const SOFAComparison& comparison) {
    Json exposed = Json::array();
    for (const SOFAExposedCVE& cve : comparison.exposed) {
        exposed.push_back(Json{{"id", cve.id},
                               {"severity", cve.severity.empty() ? Json(nullptr) : Json(cve.severity)},
                               {"activelyExploited", cve.activelyExploited},
                               {"inKEV", cve.inKEV},
                               {"fixedIn", cve.fixedIn},
                               {"nistURL", optionalText(cve.nistURL)}});
    }
    return Json{{"runningVersion", comparison.runningVersion},
                {"track", comparison.track},
                {"latestVersion", comparison.latest.productVersion},
                {"latestBuild", optionalText(comparison.latest.build)},
                {"releaseDate", optionalText(comparison.latest.releaseDate)},
                {"isOutdated", comparison.isOutdated},
                {"exposedCVEs", std::move(exposed)},
                {"cveDetailsUnavailable", comparison.enrichmentUnavailable}};
}

std::string comparisonText(const SOFAComparison& comparison, const Style& style) {
    std::string out = "macOS " + comparison.runningVersion + " (" + comparison.track + "): ";
    if (!comparison.isOutdated) {
        out += style.green(localized("sofa.up_to_date")) + "\n";
        return out;
    }
    std::string latest = comparison.latest.productVersion;
    if (comparison.latest.build) latest += " (" + *comparison.latest.build + ")";
    out += style.yellow(localized("sofa.newer_release", {latest})) + "\n";
    if (comparison.latest.releaseDate) out += "  " + localized("sofa.released", {*comparison.latest.releaseDate}) + "\n";
    std::size_t exploited = 0;
    for (const SOFAExposedCVE& cve : comparison.exposed) exploited += cve.activelyExploited ? 1 : 0;
    out += localized("sofa.fixed_since",
                     {std::to_string(comparison.exposed.size()), comparison.runningVersion, std::to_string(exploited)}) +
           "\n";
    for (const SOFAExposedCVE& cve : comparison.exposed) {
        if (!cve.activelyExploited) continue;
        std::string line = "  " + style.red(cve.id) + "  " + (cve.severity.empty() ? "?" : cve.severity);
        line += cve.inKEV ? "  KEV" : "";
        line += "  " + localized("sofa.fixed_in", {cve.fixedIn});
        out += line + "\n";
    }
    if (comparison.enrichmentUnavailable) out += style.dim(localized("sofa.cve_enrichment_unavailable")) + "\n";
    return out;
}

// The malware definitions' status, on a Mac whose system has the tool; nothing elsewhere.
std::optional<XProtectStatus> xprotectStatus(std::stop_token stop) {
    static SystemFileSystemManager files;
    XProtectService service(CommandRunner::shared(), files);
    try {
        return service.status(stop);
    } catch (const XProtectServiceError& error) {
        if (error.kind() != XProtectServiceError::Kind::CommandUnavailable) {
            std::fprintf(stderr, "vantreel sofa: %s\n", error.what());
        }
        return std::nullopt;
    }
}

int sofa(const std::string& requestedVersion, bool asJson) {
    std::optional<std::string> version =
        requestedVersion.empty() ? runningMacOSVersion() : std::optional<std::string>(trim(requestedVersion));
    if (!version) {
        std::fprintf(stderr, "vantreel sofa: %s\n", localized("sofa.no_running_macos").c_str());
        return 2;
    }
    if (version->empty() || version->front() < '0' || version->front() > '9' || parseVersion(*version).components.empty()) {
        std::fprintf(stderr, "vantreel sofa: %s\n", localized("sofa.invalid_version", {*version}).c_str());
        return 2;
    }
    NetworkClient& network = Context::shared().network();
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    try {
        SOFAService service(network);
        SOFAComparison comparison = compareWithFeed(service.feed(stop.get_token()), *version);
        enrichExposedCVEs(comparison, network, 25, stop.get_token());
        // Only this Mac's own definitions can be read, not those of a version given by hand.
        std::optional<XProtectStatus> xprotect =
            requestedVersion.empty() ? xprotectStatus(stop.get_token()) : std::nullopt;
        if (asJson) {
            Json json = jsonDocument();
            // Kept in a variable: items() of a temporary would outlive it in the loop.
            const Json fields = comparisonJson(comparison);
            for (const auto& [key, value] : fields.items()) json[key] = value;
            json["xprotect"] = xprotect ? Json{{"installedVersion", optionalText(xprotect->installedVersion)},
                                               {"availableVersion", optionalText(xprotect->availableVersion)}}
                                        : Json(nullptr);
            writeAll(stdout, dumpJson(json, jsonIndentForStandardOutput()) + "\n");
        } else {
            std::string text = comparisonText(comparison, Style::forStream(stdout));
            if (xprotect) {
                text += "XProtect " + xprotect->installedVersion.value_or("?");
                if (xprotect->availableVersion && xprotect->availableVersion != xprotect->installedVersion) {
                    text += punctuated(" → ") + *xprotect->availableVersion;
                }
                text += "\n";
            }
            writeAll(stdout, text);
        }
        return 0;
    } catch (const CancellationError&) {
        return 130;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel sofa: %s\n", error.what());
        return 1;
    }
}

}  // namespace

void addSofaCommand(CLI::App& app, int* exitCode) {
    auto* command = app.add_subcommand("sofa", localized("help.sofa"));
    auto version = std::make_shared<std::string>();
    auto asJson = std::make_shared<bool>(false);
    command->add_option("--os-version", *version, localized("help.option.os_version"))->type_name("VERSION");
    command->add_flag("--json", *asJson, localized("help.option.json"));
    setExamples(*command, {"vantreel sofa --os-version 14.6", "vantreel sofa --os-version 14.6 --json"});
    command->callback([version, asJson, exitCode] { *exitCode = sofa(*version, *asJson); });
}

}  // namespace vt::cli
