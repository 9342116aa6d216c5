#include "managers/system/FlatpakManager.hpp"

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
    static const Logger instance("FlatpakManager");
    return instance;
}

constexpr std::size_t kShortCommit = 12;

std::string shortCommit(std::string_view commit) { return std::string(commit.substr(0, kShortCommit)); }

}  // namespace

const SourceRow& FlatpakManager::source() {
    static const SourceRow row{.id = "flatpak", .name = "Flatpak", .executables = {"flatpak"},
                               .types = {PackageType::FlatpakApp}, .toggle = ManagerToggleKey::ShowFlatpak,
                               .completionLine = "Flatpak", .logTag = "flatpak",
                               .make = makeAdapter<FlatpakManager>};
    return row;
}

FlatpakManager::FlatpakManager(CommandRunning& runner, const FileSystemManager& files)
    : BaseManager(source(), runner, files) {}

bool FlatpakManager::isRefPart(std::string_view part) {
    static const Regex pattern(R"(^[A-Za-z0-9_][A-Za-z0-9._-]*$)");
    return part.size() <= 255 && pattern.fullyMatches(part);
}

namespace {

// Fills an entry from tab-separated columns in the given order; false for too few columns.
bool fill(FlatpakManager::Entry& entry, const std::vector<std::string_view>& columns,
          const std::vector<std::string FlatpakManager::Entry::*>& fields) {
    if (columns.size() < fields.size()) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) entry.*fields[i] = trim(columns[i]);
    return true;
}

FlatpakManager::Parsed parseLines(std::string_view text, const std::vector<std::string FlatpakManager::Entry::*>& fields,
                                  std::string_view installation) {
    FlatpakManager::Parsed parsed;
    for (std::string_view line : splitLines(text)) {
        if (trimView(line).empty()) continue;
        std::vector<std::string_view> columns = split(line, '\t');
        FlatpakManager::Entry entry;
        if (!installation.empty()) entry.installation = std::string(installation);
        if (!fill(entry, columns, fields)) continue;
        if (entry.application == "Application ID" || entry.application == "Application") continue;  // a header
        if (!FlatpakManager::isRefPart(entry.application) || !FlatpakManager::isRefPart(entry.branch) ||
            !FlatpakManager::isRefPart(entry.arch) || !FlatpakManager::isRefPart(entry.installation)) {
            parsed.rejected.push_back(excerpt(line, 120));
            continue;
        }
        parsed.entries.push_back(std::move(entry));
    }
    return parsed;
}

}  // namespace

FlatpakManager::Parsed FlatpakManager::parseList(std::string_view text) {
    using E = Entry;
    return parseLines(text, {&E::application, &E::version, &E::branch, &E::arch, &E::origin, &E::installation, &E::commit},
                      "");
}

FlatpakManager::Parsed FlatpakManager::parseUpdates(std::string_view text, std::string_view installation) {
    using E = Entry;
    return parseLines(text, {&E::application, &E::version, &E::branch, &E::arch, &E::origin, &E::commit},
                      installation);
}

ShellCommandResult FlatpakManager::runFlatpak(std::vector<std::string> arguments, double timeout,
                                              std::stop_token stop) {
    CommandRequest request{.command = binaryPath(),
                           .arguments = std::move(arguments),
                           .environment = {{"LC_ALL", "C"}, {"LANG", "C"}},
                           .timeout = timeout,
                           .allowNonZeroExit = true};
    return run(request, stop);
}

Package FlatpakManager::packageOf(const Entry& entry) {
    return Package{.name = entry.application,
                   .version = entry.version.empty() ? shortCommit(entry.commit) : entry.version,
                   .type = PackageType::FlatpakApp,
                   .sourceIdentifier = entry.installation + ":" + entry.ref()};
}

std::vector<Package> FlatpakManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"Flatpak", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("flatpak not found");
    systemlisting::ListOutput output = systemlisting::readList(
        "flatpak", [&] { return runFlatpak({"list", "--app", kListColumns}, kListTimeout, stop); }, stop);
    if (output.failure) return fail(*output.failure);
    Parsed parsed = parseList(output.text);
    std::vector<Package> packages;
    for (const Entry& entry : parsed.entries) packages.push_back(packageOf(entry));
    for (const std::string& line : parsed.rejected) logger().warning(localized("log.flatpak.line_left_out", {line}));
    logger().info(localized("log.manager.scan_complete", {"Flatpak", std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> FlatpakManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage("flatpak not found");
        return {};
    }
    std::map<std::string, Package> listed;
    for (Package& package : packages()) listed.emplace(package.sourceIdentifier.value_or(""), std::move(package));
    std::vector<Package> outdated;
    std::vector<std::string> failures;
    for (const char* installation : {"user", "system"}) {
        systemlisting::ListOutput output = systemlisting::readList(
            "flatpak",
            [&] {
                return runFlatpak({"remote-ls", std::string("--") + installation, "--updates", "--app", kUpdatesColumns},
                                  kUpdatesTimeout, stop);
            },
            stop);
        if (output.failure) {
            failures.push_back(std::string(installation) + ": " + *output.failure);
            continue;
        }
        for (const Entry& entry : parseUpdates(output.text, installation).entries) {
            auto found = listed.find(entry.installation + ":" + entry.ref());
            // An update for a branch this installation does not have is a new install, not ours.
            if (found == listed.end()) {
                logger().info(localized("log.flatpak.uninstalled_ref", {entry.ref()}));
                continue;
            }
            Package package = found->second;
            // Commits have no order: without a version only Flatpak's word says it is newer.
            package.latestVersion = systemlisting::pendingVersion(package.version, entry.version);
            outdated.push_back(std::move(package));
        }
    }
    logger().info(localized("log.manager.outdated_done", {"Flatpak", std::to_string(outdated.size())}));
    setErrorMessage(failures.empty() ? std::nullopt : std::optional<std::string>(join(failures, "; ")));
    return outdated;
}

void FlatpakManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("flatpak");
    const std::string identifier = package.sourceIdentifier.value_or("");
    const std::size_t colon = identifier.find(':');
    const std::string installation = colon == std::string::npos ? "" : identifier.substr(0, colon);
    const std::string ref = colon == std::string::npos ? "" : identifier.substr(colon + 1);
    std::vector<std::string_view> parts = split(ref, '/');
    bool valid = (installation == "user" || installation == "system") && parts.size() == 4 && parts[0] == "app" &&
                 parts[1] == package.name;
    for (std::size_t i = 1; valid && i < parts.size(); ++i) valid = isRefPart(parts[i]);
    if (!valid) throw std::invalid_argument("Invalid Flatpak ref for \"" + package.name + "\": \"" + identifier + "\"");
    ShellCommandResult result =
        runFlatpak({"update", "-y", "--noninteractive", "--" + installation, ref}, kUpdateTimeout, stop);
    if (result.exitCode != 0) {
        throw CommandError::executionFailed(result.exitCode,
                                            systemlisting::toolError(result.standardError + "\n" + result.standardOutput));
    }
}

}  // namespace vt
