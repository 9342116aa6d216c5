#include "managers/toolchains/TlmgrManager.hpp"

#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {

namespace {

constexpr std::string_view kWordBefore = "(?<![A-Za-z0-9_.+-])";
constexpr std::string_view kWordAfter = "(?![A-Za-z0-9_.+-])";

// What tlmgr prints when its repository cannot be used.
constexpr const char* kBrokenSigns[] = {
    "cannot setup TLPDB",        "Unable to download the remote TeX Live database",
    "is older than remote repository", "unable to verify",
    "cannot contact mirror",     "remote database checksum",
};

std::string regexQuoted(std::string_view text) {
    std::string quoted;
    for (char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}-/").find(c) != std::string_view::npos) quoted += '\\';
        quoted += c;
    }
    return quoted;
}

// "r65353" against "r64097", digits of any length.
bool isRevisionAbove(std::string_view a, std::string_view b) {
    const auto digits = [](std::string_view revision) {
        revision.remove_prefix(1);
        while (revision.size() > 1 && revision.front() == '0') revision.remove_prefix(1);
        return revision;
    };
    std::string_view left = digits(a), right = digits(b);
    return left.size() != right.size() ? left.size() > right.size() : left > right;
}

std::string outputOf(const ShellCommandResult& result) {
    std::string text = trim(result.standardError);
    if (!text.empty() && !trim(result.standardOutput).empty()) text += "\n";
    text += trim(result.standardOutput);
    return excerpt(text, 600);
}

}  // namespace

const SourceRow& TlmgrManager::source() {
    static const SourceRow row{.id = "tex-live", .name = "TeX Live", .executables = {"tlmgr"},
                               .types = {PackageType::TlmgrPackage}, .toggle = ManagerToggleKey::ShowTlmgr,
                               .folders = {"/Library/TeX/texbin/"}, .completionLine = "TeX Live",
                               .logTag = "tlmgr", .timeout = std::chrono::seconds(300),
                               .make = makeAdapter<TlmgrManager>};
    return row;
}

TlmgrManager::TlmgrManager(CommandRunning& runner, const FileSystemManager& files)
    : TlmgrManager(runner, files, Options{}) {}

TlmgrManager::TlmgrManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {"TEXMFHOME", "TEXMFVAR", "TEXMFCONFIG"},
                       "TlmgrManager") {}

std::vector<TlmgrManager::TexPackage> TlmgrManager::parseInstalled(std::string_view output) {
    std::vector<TexPackage> packages;
    for (std::string_view line : splitLines(output)) {
        std::vector<std::string_view> fields = split(trimView(line), ',');
        if (fields.size() < 2 || fields[0].empty() || !isSafeArgument(fields[0])) continue;
        if (fields[1].empty() || fields[1].find_first_not_of("0123456789") != std::string_view::npos) continue;
        std::string revision = "r";
        revision += fields[1];
        TexPackage package{.name = std::string(fields[0]), .version = revision};
        if (fields.size() >= 3 && !trimView(fields[2]).empty()) package.catalogueVersion = trim(fields[2]);
        packages.push_back(std::move(package));
    }
    return packages;
}

std::vector<TlmgrManager::TexPackage> TlmgrManager::parseUpdates(std::string_view output) {
    static const Regex update(R"(^update:\s+(\S+)\s+(?:\[[^\]]*\]:\s*)?local:\s*(\d+),\s*source:\s*(\d+))");
    std::vector<TexPackage> packages;
    for (std::string_view line : splitLines(output)) {
        std::optional<Regex::Match> match = update.search(trimView(line));
        if (!match || !match->groups[2] || !isSafeArgument(*match->groups[0])) continue;
        std::string local = "r";
        local += *match->groups[1];
        std::string source = "r";
        source += *match->groups[2];
        packages.push_back(TexPackage{.name = std::string(*match->groups[0]), .version = local, .latest = source});
    }
    return packages;
}

bool TlmgrManager::mentions(std::string_view text, std::string_view name) {
    if (name.empty()) return false;
    std::string pattern(kWordBefore);
    pattern += regexQuoted(name);
    pattern += kWordAfter;
    return Regex(pattern).matches(text);
}

bool TlmgrManager::isRepositoryBroken(std::string_view output) {
    for (const char* sign : kBrokenSigns) {
        if (contains(output, sign)) return true;
    }
    return false;
}

bool TlmgrManager::isDistributionRefusal(std::string_view output) {
    return contains(output, "running on Debian") || contains(output, "README.tlmgr-on-Debian") ||
           contains(output, "user mode not initialized");
}

bool TlmgrManager::isDistributionCopy() const {
    std::error_code error;
    const std::string real = std::filesystem::canonical(binaryPath(), error).string();
    return refusedByDistribution_ || (!error && startsWith(real, "/usr/share/texlive/"));
}

std::vector<Package> TlmgrManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"info", "--only-installed", "--data", "name,localrev,cat-version"},
                                     kListTimeout, stop);
    if (isDistributionRefusal(result.standardError + result.standardOutput)) refusedByDistribution_ = true;
    std::vector<Package> packages;
    for (const TexPackage& entry : parseInstalled(result.standardOutput)) {
        Package& package = packages.emplace_back();
        package.name = entry.name;
        package.version = entry.version;
        package.description = entry.catalogueVersion;
        package.type = PackageType::TlmgrPackage;
    }
    if (isDistributionCopy()) {
        message = localized("toolchain.managed_by_distribution", {"TeX Live"});
    } else if (result.exitCode != 0 && packages.empty()) {
        message = localized("tlmgr.update_failed") + ": " + outputOf(result);
    }
    return packages;
}

ShellCommandResult TlmgrManager::updateListing(std::stop_token stop) {
    const std::vector<std::string> arguments{"update", "--list", "--self", "--all"};
    ShellCommandResult result = tool(arguments, kListTimeout, stop);
    if (!isRepositoryBroken(result.standardError + result.standardOutput)) return result;
    log().warning(localized("log.tlmgr.repository_reset"));
    ShellCommandResult reset = tool({"option", "repository", "ctan"}, kRepairTimeout, stop);
    if (reset.exitCode == 0) result = tool(arguments, kListTimeout, stop);
    if (reset.exitCode != 0 || isRepositoryBroken(result.standardError + result.standardOutput)) {
        throw ToolchainError::repairFailed(localized("tlmgr.repair_failed", {outputOf(reset.exitCode != 0 ? reset : result)}));
    }
    return result;
}

std::vector<Package> TlmgrManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result;
    try {
        result = updateListing(stop);
    } catch (const ToolchainError& error) {
        message = error.description();
        return {};
    }
    if (isDistributionRefusal(result.standardError + result.standardOutput)) refusedByDistribution_ = true;
    std::vector<TexPackage> parsed = parseUpdates(result.standardOutput);
    std::vector<Package> rows;
    for (const TexPackage& entry : parsed) {
        // A source revision not above the local one is a repository behind ours, not an update.
        if (entry.latest && !isRevisionAbove(*entry.latest, entry.version)) continue;
        // Built in place and the version set only when known: GCC 12 at -O3 sees a false
        // uninitialised read in copying one optional over another here.
        Package& package = rows.emplace_back();
        package.name = entry.name;
        package.version = entry.version;
        if (entry.latest) package.latestVersion = *entry.latest;
        package.type = PackageType::TlmgrPackage;
    }
    std::string line = "TlmgrManager: checkUpdates found ";
    line += std::to_string(rows.size());
    line += " outdated packages (parser produced ";
    line += std::to_string(parsed.size());
    line += ")";
    log().info(line);
    if (isDistributionCopy()) {
        message = localized("toolchain.managed_by_distribution", {"TeX Live"});
    } else if (result.exitCode != 0 && rows.empty()) {
        message = localized("tlmgr.update_failed") + ": " + outputOf(result);
    }
    return overListing(std::move(rows));
}

void TlmgrManager::runPrivileged(const std::vector<std::string>& arguments, const std::string& label,
                                 std::stop_token stop) {
    requireTool(stop);
    if (isDistributionCopy()) throw ToolchainError::managedByDistribution("TeX Live");
    std::string line = "TlmgrManager: tlmgr ";
    line += join(arguments, " ");
    log().info(line);
    AdminPrompt& prompt = adminPrompt();
    if (!prompt.isAvailable()) throw ToolchainError::administratorRequired(localized("tlmgr.admin_required"));
    try {
        prompt.run(PrivilegedCommand{.prompt = localized("tlmgr.admin.prompt", {label}),
                                     .command = binaryPath(),
                                     .arguments = arguments,
                                     .timeoutSeconds = kUpdateTimeout},
                   stop);
    } catch (const AdminPromptError& error) {
        if (isDistributionRefusal(error.description())) {
            refusedByDistribution_ = true;
            throw ToolchainError::managedByDistribution("TeX Live");
        }
        throw ToolchainError::commandFailed(localized("tlmgr.update_failed") + ": " + error.description());
    }
    // Read back what is still pending; the update itself succeeded whatever this says.
    ShellCommandResult after;
    if (std::optional<std::string> failure = failureOf([&] { after = updateListing(stop); }, stop)) {
        throw ToolchainError::notVerified(localized("tlmgr.not_verified", {label, *failure}));
    }
    if (after.exitCode != 0) throw ToolchainError::notVerified(localized("tlmgr.not_verified", {label, outputOf(after)}));
    std::string pending;
    for (const TexPackage& entry : parseUpdates(after.standardOutput)) pending += entry.name + "\n";
    // "foo" still pending is not "foo-bar" or "libfoo" still pending.
    if (label == "TeX Live" ? !pending.empty() : mentions(pending, label)) {
        throw ToolchainError::commandFailed(localized("tlmgr.update_failed") + ": " + excerpt(trim(pending), 300));
    }
}

void TlmgrManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    runPrivileged({"update", "--self", package.name}, package.name, stop);
}

void TlmgrManager::updateAll(std::stop_token stop) { runPrivileged({"update", "--self", "--all"}, "TeX Live", stop); }

}  // namespace vt
