#include "managers/system/SnapManager.hpp"

#include <map>
#include <stdexcept>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/system/SystemListing.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("SnapManager");
    return instance;
}

// The rows of an aligned table after its "Name ..." header; the first five columns are
// always filled ("-" stands for nothing).
std::vector<SnapManager::Entry> parseTable(std::string_view text, bool hasTracking) {
    std::vector<SnapManager::Entry> entries;
    bool sawHeader = false;
    for (std::string_view line : splitLines(text)) {
        std::vector<std::string> columns = systemlisting::blankSeparated(line);
        if (columns.empty()) continue;
        if (!sawHeader) {
            sawHeader = columns.front() == "Name";
            continue;
        }
        if (columns.size() < 5 || !SnapManager::isSnapName(columns[0])) continue;
        SnapManager::Entry entry{.name = columns[0], .version = columns[1], .revision = columns[2]};
        if (hasTracking) entry.tracking = columns[3];
        entry.notes = columns.size() >= 6 ? columns[5] : "-";
        if (contains(entry.notes, "disabled")) continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

const SourceRow& SnapManager::source() {
    static const SourceRow row{.id = "snap", .name = "Snap", .executables = {"snap"},
                               .types = {PackageType::SnapPackage}, .toggle = ManagerToggleKey::ShowSnap,
                               .completionLine = "Snap", .logTag = "snap",
                               .make = makeAdapter<SnapManager>};
    return row;
}

SnapManager::SnapManager(CommandRunning& runner, const FileSystemManager& files) : BaseManager(source(), runner, files) {}

bool SnapManager::isSnapName(std::string_view name) {
    static const Regex pattern(R"(^[a-z0-9](?:[a-z0-9-]*[a-z0-9])?$)");
    return name.size() <= 40 && pattern.fullyMatches(name);
}

std::vector<SnapManager::Entry> SnapManager::parseList(std::string_view text) { return parseTable(text, true); }

std::vector<SnapManager::Entry> SnapManager::parseRefreshList(std::string_view text) {
    return parseTable(text, false);
}

ShellCommandResult SnapManager::runSnap(std::vector<std::string> arguments, double timeout, std::stop_token stop) {
    CommandRequest request{.command = binaryPath(),
                           .arguments = std::move(arguments),
                           .environment = {{"LC_ALL", "C"}, {"LANG", "C"}},
                           .timeout = timeout,
                           .allowNonZeroExit = true};
    return run(request, stop);
}

std::vector<Package> SnapManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"Snap", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("snap not found");
    systemlisting::ListOutput output =
        systemlisting::readList("snap", [&] { return runSnap({"list"}, kListTimeout, stop); }, stop);
    if (output.failure) return fail(*output.failure);
    std::vector<Package> packages;
    for (const Entry& entry : parseList(output.text)) {
        packages.push_back(Package{.name = entry.name,
                                   .version = entry.version,
                                   .type = PackageType::SnapPackage,
                                   .sourceIdentifier = entry.tracking == "-" ? std::nullopt
                                                                             : std::optional<std::string>(entry.tracking)});
    }
    logger().info(localized("log.manager.scan_complete", {"Snap", std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> SnapManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.outdated_failed", {"Snap", message}));
        setErrorMessage(message);
        return std::vector<Package>{};
    };
    if (!discover(stop)) return fail("snap not found");
    systemlisting::ListOutput output = systemlisting::readList(
        "snap", [&] { return runSnap({"refresh", "--list"}, kRefreshListTimeout, stop); }, stop);
    if (output.failure) return fail(*output.failure);
    std::map<std::string, Package> listed;
    for (Package& package : packages()) listed.emplace(package.name, std::move(package));
    std::vector<Package> outdated;
    for (const Entry& entry : parseRefreshList(output.text)) {
        Package package{.name = entry.name, .version = "", .type = PackageType::SnapPackage};
        if (auto found = listed.find(entry.name); found != listed.end()) package = found->second;
        package.latestVersion = systemlisting::pendingVersion(package.version, entry.version);
        outdated.push_back(std::move(package));
    }
    logger().info(localized("log.manager.outdated_done", {"Snap", std::to_string(outdated.size())}));
    setErrorMessage(std::nullopt);
    return outdated;
}

void SnapManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("snap");
    if (!isSnapName(package.name)) throw std::invalid_argument("Invalid snap name: \"" + package.name + "\"");
    ShellCommandResult result = runSnap({"refresh", package.name}, kRefreshTimeout, stop);
    if (result.exitCode != 0) {
        throw CommandError::executionFailed(result.exitCode,
                                            systemlisting::toolError(result.standardError + "\n" + result.standardOutput));
    }
}

}  // namespace vt
