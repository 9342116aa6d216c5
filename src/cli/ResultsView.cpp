#include "cli/ResultsView.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <unordered_set>

#include "base/IsoDate.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "model/PendingUpdate.hpp"
#include "presentation/ItemReasons.hpp"
#include "model/VersionRules.hpp"

namespace vt::cli {

namespace {

bool hasUpdate(const Package& package, bool allowPreRelease) {
    return hasPendingUpdate(package, allowPreRelease);
}

}  // namespace

std::string applicationStableKey(const Application& application) { return "application:" + application.bundlePath; }

Json sparkleReleaseJson(const SparkleApp& app) {
    Json json = Json::object();
    json["feedURL"] = app.feedURL;
    json["downloadURL"] = app.downloadURL ? Json(*app.downloadURL) : Json(nullptr);
    json["fileSize"] = app.fileSize ? Json(*app.fileSize) : Json(nullptr);
    json["publishDate"] = app.publishDate ? Json(jsonDate(*app.publishDate)) : Json(nullptr);
    json["minimumSystemVersion"] = app.minimumSystemVersion ? Json(*app.minimumSystemVersion) : Json(nullptr);
    json["signatureKind"] = app.signatureKind ? Json(*app.signatureKind) : Json(nullptr);
    return json;
}

Json genericUpdaterJson(const GenericUpdaterApp& app) {
    Json json = Json::object();
    json["mechanism"] = std::string(rawValue(app.updateMechanism));
    json["updateURL"] = app.updateURL ? Json(*app.updateURL) : Json(nullptr);
    json["latestVersion"] = app.latestVersion ? Json(*app.latestVersion) : Json(nullptr);
    json["downloadURL"] = app.downloadURL ? Json(*app.downloadURL) : Json(nullptr);
    json["releasePageURL"] = app.releasePageURL ? Json(*app.releasePageURL) : Json(nullptr);
    json["publishDate"] = app.publishDate ? Json(jsonDate(*app.publishDate)) : Json(nullptr);
    return json;
}

bool hasUpdate(const Application& application, bool allowPreRelease) {
    return isUpdateAvailable(application.version, application.latestVersion, allowPreRelease);
}

ScanReport makeReport(std::vector<Package> packages, const ScanProgressSnapshot& progress, bool allowPreRelease) {
    ScanReport report;
    report.allowPreRelease = allowPreRelease;
    // Duplicates are dropped in place: the records are never copied.
    // The keys never move: room for all of them is made first.
    report.stableKeys.reserve(packages.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(packages.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const std::string& key = report.stableKeys.emplace_back(stableKey(packages[i]));
        if (!seen.insert(key).second) {
            report.stableKeys.pop_back();
            continue;
        }
        if (kept != i) packages[kept] = std::move(packages[i]);
        ++kept;
    }
    packages.erase(packages.begin() + static_cast<std::ptrdiff_t>(kept), packages.end());
    report.packages = std::move(packages);
    for (const auto& status : progress.scannerStatuses) {
        if (status.id == ScanProgressModel::kPostScanStatusID) continue;
        Json scanner = Json::object();
        scanner["source"] = status.id;
        scanner["name"] = status.name;
        scanner["state"] = std::string(toString(status.state.kind));
        if (status.scannedItems) scanner["count"] = *status.scannedItems;
        std::optional<std::string> message;
        if (status.state.kind == ScannerState::Kind::Failed) {
            message = status.state.message;
            scanner["error"] = status.state.message;
        } else if (status.details && status.state.kind == ScannerState::Kind::Finished) {
            message = status.details;
            scanner["message"] = *status.details;
        }
        scanner["latestVersionsUnknown"] = status.latestVersionsUnknown;
        if (message) report.problems.push_back({status.id, status.name, *message});
        report.scanners.push_back(std::move(scanner));
    }
    return report;
}

std::size_t ScanReport::failedSources() const {
    std::size_t count = 0;
    for (const Json& scanner : scanners) count += scanner.value("state", "") == "failed" ? 1 : 0;
    return count;
}

std::set<std::string> ScanReport::latestVersionsUnknown() const {
    std::set<std::string> sources;
    for (const Json& scanner : scanners) {
        if (scanner.value("latestVersionsUnknown", false)) sources.insert(scanner.value("source", ""));
    }
    return sources;
}

void applySourceStates(ScanReport& report, const std::vector<SourceScanState>& states) {
    report.sourceStates = states;
    for (const SourceScanState& state : states) {
        if (!state.failure && !state.warning && !state.latestVersionsUnknown) continue;
        auto entry = std::find_if(report.scanners.begin(), report.scanners.end(),
                                  [&](const Json& scanner) { return scanner.value("source", "") == state.id; });
        if (entry == report.scanners.end()) {
            // Saved results (list), or a source this scan did not run: the saved state speaks.
            Json scanner = Json::object();
            scanner["source"] = state.id;
            scanner["name"] = state.name;
            scanner["state"] = state.failure ? "failed" : "finished";
            if (state.failure) scanner["error"] = *state.failure;
            if (state.warning) scanner["message"] = *state.warning;
            scanner["latestVersionsUnknown"] = state.latestVersionsUnknown;
            report.scanners.push_back(std::move(scanner));
            const std::optional<std::string>& message = state.failure ? state.failure : state.warning;
            if (message) report.problems.push_back({state.id, state.name, *message});
            entry = report.scanners.end() - 1;
        } else if (state.failure) {
            // Its tool failed and it listed nothing: said as the saved results say it.
            (*entry)["state"] = "failed";
            (*entry)["error"] = *state.failure;
            entry->erase("message");
            std::erase_if(report.problems, [&](const SourceProblem& problem) { return problem.source == state.id; });
            report.problems.push_back({state.id, state.name, *state.failure});
        } else if (state.warning && !entry->contains("message")) {
            // A source reused from the last scan says again what that scan said of it.
            (*entry)["message"] = *state.warning;
            report.problems.push_back({state.id, state.name, *state.warning});
        }
        if (state.latestVersionsUnknown) (*entry)["latestVersionsUnknown"] = true;
        if (!state.carriedOver()) continue;
        (*entry)["itemsFrom"] = jsonDate(*state.itemsDate);
        std::string text = localized("scan.source.kept_previous", {*state.failure, localDate(*state.itemsDate)});
        for (SourceProblem& problem : report.problems) {
            if (problem.source == state.id) problem.message = text;
        }
    }
    // The problems follow the sources' order, whether this scan or the last one found them.
    auto position = [&](const SourceProblem& problem) {
        auto found = std::find_if(report.scanners.begin(), report.scanners.end(),
                                  [&](const Json& scanner) { return scanner.value("source", "") == problem.source; });
        return found - report.scanners.begin();
    };
    std::stable_sort(report.problems.begin(), report.problems.end(),
                     [&](const SourceProblem& a, const SourceProblem& b) { return position(a) < position(b); });
}

void restrictReport(ScanReport& report, const SourceSelection& selection) {
    if (selection.empty()) return;
    const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < report.packages.size(); ++i) {
        if (!selection.includes(builder.sourceId(report.packages[i].type), report.packages[i].type)) continue;
        if (kept != i) {
            report.packages[kept] = std::move(report.packages[i]);
            report.stableKeys[kept] = std::move(report.stableKeys[i]);
        }
        ++kept;
    }
    report.packages.resize(kept);
    report.stableKeys.resize(kept);
    if (!selection.includes("apps", std::nullopt)) {
        report.applications.clear();
        report.sparkleApps.clear();
    }
    if (!selection.includes("software-update", std::nullopt)) report.systemUpdates.clear();
    Json scanners = Json::array();
    for (Json& scanner : report.scanners) {
        if (selection.includesScanner(scanner.value("source", ""))) scanners.push_back(std::move(scanner));
    }
    report.scanners = std::move(scanners);
    std::erase_if(report.problems, [&](const SourceProblem& problem) { return !selection.includesScanner(problem.source); });
}

int reportExitCode(const ScanReport& report) {
    // What is known to be pending outranks what could not be learned: a script watching for
    // security updates is not left blind by an index that did not answer.
    bool pending = false;
    if (report.table) {
        const AllUpdatesDisplayModel& model = *report.table->model;
        for (std::size_t i = 0; i < model.size(); ++i) {
            const AllUpdateRow& row = model.row(i);
            if (!row.hasUpdate) continue;
            if (row.isSecurityUpdate) return kExitSecurityPending;
            pending = true;
        }
    }
    if (pending) return kExitUpdatesPending;
    // Without its latest versions a source cannot say that nothing is pending.
    if (report.failedSources() > 0 || !report.latestVersionsUnknown().empty() || !report.unreadableFiles.empty()) {
        return kExitSourceFailed;
    }
    return kExitSuccess;
}

void attachTable(ScanReport& report, const TableRequest& request) {
    // Lent to the table and given back: thousands of records are not copied for one look.
    AllUpdatesSnapshot snapshot;
    // Never a table built before in this process (a scan counts its updates with one).
    snapshot.packagesRevision = freshRevision();
    snapshot.packages = std::move(report.packages);
    snapshot.applications = std::move(report.applications);
    snapshot.systemUpdates = report.systemUpdates;
    snapshot.allowPreRelease = report.allowPreRelease;
    report.table = buildUpdatesTable(snapshot, request);
    report.packages = std::move(snapshot.packages);
    report.applications = std::move(snapshot.applications);
    restrictReport(report, request.selection);
    report.minimumReleaseAgeDays = currentIgnoreState().minimumReleaseAgeDays;
}

std::string renderTable(const ScanReport& report, const Style& style, std::size_t width, bool notes) {
    if (!report.table) return "";
    TableLayout layout;
    layout.width = width;
    layout.latestVersionsUnknown = report.latestVersionsUnknown();
    // Under a pending appcast release: its size, date, minimum system and signature.
    layout.detail = [&report](const AllUpdateRow& row) -> std::optional<std::string> {
        if (!row.bundlePath) return std::nullopt;
        const SparkleApp* app = recordAt(report.sparkleApps, *row.bundlePath);
        if (app == nullptr || !app->latestVersion) return std::nullopt;
        const std::string separator = punctuated(" · ");
        std::string line = sparkleSizeText(app->fileSize);
        if (app->publishDate) line += separator + jsonDate(*app->publishDate).substr(0, 10);
        if (app->minimumSystemVersion) line += separator + "macOS " + *app->minimumSystemVersion + "+";
        line += separator + app->signatureKind.value_or(localized("scan.release.unsigned"));
        return line;
    };
    std::string out = renderUpdatesTable(*report.table, style, layout);
    if (!notes) return out;
    std::string counts = renderHiddenCounts(*report.table, report.minimumReleaseAgeDays, style);
    if (!counts.empty() && !out.empty()) out += '\n';
    out += counts;
    return out;
}

std::string renderSummary(const ScanReport& report, const Style& style, bool notes) {
    std::size_t updates = 0;
    if (report.table) {
        updates = report.table->pendingCount();
    } else {
        for (const Package& package : report.packages) updates += hasUpdate(package, report.allowPreRelease) ? 1 : 0;
        for (const Application& application : report.applications) {
            updates += hasUpdate(application, report.allowPreRelease) ? 1 : 0;
        }
    }
    const std::size_t failed = report.failedSources();
    const std::size_t unknown = report.latestVersionsUnknown().size();
    const std::string separator = punctuated(" · ");
    // Under --source or --search the count is of what they let through, and says so: "up to
    // date" would be a claim about every item.
    std::string narrowing;
    if (report.table && !trimView(report.table->request.source).empty()) {
        narrowing += " " + localized("scan.summary.in_source", {oneLine(trim(report.table->request.source))});
    }
    if (report.table && !trimView(report.table->request.search).empty()) {
        narrowing += " " + localized("scan.summary.matching", {oneLine(trim(report.table->request.search))});
    }
    std::string line;
    if (updates > 0) {
        line = style.bold((updates == 1 ? localized("scan.summary.update_one")
                                        : localized("scan.summary.updates", {std::to_string(updates)})) +
                          narrowing);
    } else if (!narrowing.empty()) {
        line = localized(report.table->request.all ? "scan.summary.no_item" : "scan.summary.no_pending_update") + narrowing;
    } else if (failed == 0 && unknown == 0 && report.unreadableFiles.empty() && report.sourcesNotRun.empty()) {
        line = style.green(localized("scan.status.up_to_date"));
    } else {
        // Some sources could not say, or their saved items are lost: "up to date" would be a
        // claim about them too.
        line = localized("scan.summary.no_updates");
    }
    if (failed > 0) {
        line += separator + style.yellow(failed == 1 ? localized("scan.summary.source_failed")
                                                     : localized("scan.summary.sources_failed", {std::to_string(failed)}));
    }
    if (unknown > 0) {
        line += separator + style.yellow(unknown == 1 ? localized("scan.summary.latest_unknown_one")
                                                      : localized("scan.summary.latest_unknown", {std::to_string(unknown)}));
    }
    const std::size_t items = report.packages.size() + report.applications.size();
    line += separator + (items == 1 ? localized("scan.summary.item_one") : localized("scan.summary.items", {std::to_string(items)}));
    if (report.durationSeconds > 0) {
        line += separator + localized("scan.summary.duration", {localizedDecimal(report.durationSeconds, 1)});
    }
    std::string out = line + "\n";
    for (const SourceProblem& problem : report.problems) {
        out += style.yellow("! " + problem.name + ": ") + oneLine(problem.message) + "\n";
    }
    if (notes && report.vulnerabilityCheckFailure) {
        out += style.yellow("! ") +
               localized("table.vulnerability_check_failed", {oneLine(*report.vulnerabilityCheckFailure)}) + "\n";
    }
    return out;
}

void printReportJson(const ScanReport& report, int indent, std::FILE* out) {
    // Written out in pieces, each record as it is encoded: the text of a large inventory is
    // never held whole.
    constexpr std::size_t kChunk = 64 * 1024;
    std::string text;
    text.reserve(kChunk + 4096);
    auto flush = [&text, out] {
        std::fwrite(text.data(), 1, text.size(), out);
        text.clear();
    };
    JsonWriter writer(text, indent);
    writer.beginObject();
    writer.key("schemaVersion").integer(kJsonSchemaVersion);
    writer.key("scan").value(report.metadata);
    if (report.vulnerabilityCheckFailure) {
        writer.key("vulnerabilityCheckFailure").string(*report.vulnerabilityCheckFailure);
    }
    writer.key("scanners").value(report.scanners);
    writer.key("items").beginArray();
    const std::string home = paths::home();
    const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
    for (std::size_t i = 0; i < report.packages.size(); ++i) {
        const Package& package = report.packages[i];
        writer.beginObject();
        writer.key("id").string(builder.shortId(package));
        writer.key("stableKey").string(i < report.stableKeys.size() ? report.stableKeys[i] : stableKey(package));
        writer.key("name").string(package.name);
        writer.key("version").string(package.version);
        if (package.latestVersion) writer.key("latestVersion").string(*package.latestVersion);
        const bool update = hasUpdate(package, report.allowPreRelease);
        writer.key("updateAvailable").boolean(update);
        writer.key("source").string(builder.sourceId(package.type));
        writer.key("type").string(rawValue(package.type));
        if (package.sourceIdentifier) writer.key("sourceIdentifier").string(*package.sourceIdentifier);
        writer.key("isSecurityUpdate").boolean(package.isSecurityUpdate);
        if (package.releaseAge) writer.key("releaseAge").value(releaseAgeJson(*package.releaseAge));
        if (update && provenanceLost(package)) writer.key("provenanceLost").boolean(true);
        if (package.description) writer.key("description").string(*package.description);
        if (package.homepage) writer.key("homepage").string(*package.homepage);
        if (auto location = installLocation(package, home)) writer.key("installLocation").string(*location);
        writer.endObject();
        if (text.size() >= kChunk) flush();
    }
    for (const Application& application : report.applications) {
        writer.beginObject();
        writer.key("id").string(AllUpdatesRowBuilder::shortId(application));
        writer.key("stableKey").string(applicationStableKey(application));
        writer.key("name").string(application.name);
        writer.key("version").string(application.version);
        if (application.latestVersion) writer.key("latestVersion").string(*application.latestVersion);
        writer.key("updateAvailable").boolean(hasUpdate(application, report.allowPreRelease));
        writer.key("source").string("apps");
        writer.key("type").string("Application");
        writer.key("isSecurityUpdate").boolean(false);
        writer.key("bundleIdentifier").string(application.bundleIdentifier);
        writer.key("updateMechanism").string(rawValue(application.updateMechanism));
        if (application.sparkleAppcastURL) writer.key("sparkleAppcastURL").string(*application.sparkleAppcastURL);
        if (application.downloadURL) writer.key("downloadURL").string(*application.downloadURL);
        if (const SparkleApp* release = recordAt(report.sparkleApps, application.bundlePath)) {
            writer.key("sparkle").value(sparkleReleaseJson(*release));
        }
        writer.key("installLocation").string(application.bundlePath);
        writer.endObject();
        if (text.size() >= kChunk) flush();
    }
    writer.endArray();
    if (report.table) {
        // The table's rows: what `update`, `ignore` and the other verbs take, by id.
        writer.key("rows");
        writeRowsJson(writer, *report.table, report.sourceStates);
        if (report.table->model->heldBackCount > 0) writer.key("heldBack").unsignedInteger(report.table->model->heldBackCount);
        if (report.table->model->hiddenCount > 0) writer.key("hidden").unsignedInteger(report.table->model->hiddenCount);
    }
    writer.endObject();
    text += '\n';
    flush();
}

}  // namespace vt::cli
