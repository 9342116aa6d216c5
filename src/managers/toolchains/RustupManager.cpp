#include "managers/toolchains/RustupManager.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr const char* kSelf = "rustup";

bool isSectionRule(std::string_view line) { return !line.empty() && line.find_first_not_of('-') == std::string_view::npos; }

// "stable-x86_64-unknown-linux-gnu (active, default)" → the name and whether it is the default.
std::string toolchainName(std::string_view line, bool& isDefault) {
    line = trimView(line);
    if (startsWith(line, "name: ")) line = trimView(line.substr(6));
    const std::size_t space = line.find(' ');
    std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space);
    isDefault = contains(rest, "default");
    return std::string(line.substr(0, space));
}

std::string failureText() { return localized("rustup.command_failed"); }

}  // namespace

const SourceRow& RustupManager::source() {
    static const SourceRow row{.id = "rustup", .name = "rustup", .executables = {"rustup"},
                               .types = {PackageType::RustupToolchain}, .toggle = ManagerToggleKey::ShowRustup,
                               .folders = {"~/.cargo/bin/"}, .completionLine = "rustup",
                               .logTag = "rustup", .timeout = std::chrono::seconds(240),
                               .make = makeAdapter<RustupManager>};
    return row;
}

RustupManager::RustupManager(CommandRunning& runner, const FileSystemManager& files)
    : RustupManager(runner, files, Options{}) {}

RustupManager::RustupManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {"RUSTUP_HOME", "CARGO_HOME"}, "RustupManager") {
    // A mirror of the distribution server set in our address table is the one rustup uses too.
    if (Endpoints::entry(Service::RustupDist).overridden && !options_.environment.contains("RUSTUP_DIST_SERVER")) {
        options_.environment["RUSTUP_DIST_SERVER"] = Endpoints::base(Service::RustupDist);
    }
}

RustupManager::Shown RustupManager::parseShow(std::string_view text) {
    Shown shown;
    enum class Section { None, Installed, Active } section = Section::None;
    bool sawRule = false;
    std::optional<std::string> active;
    for (std::string_view raw : splitLines(text)) {
        std::string_view line = trimView(raw);
        if (startsWith(line, "rustup home:")) {
            shown.rustupHome = trim(line.substr(12));
            continue;
        }
        if (line == "installed toolchains" || line == "active toolchain") {
            section = line == "active toolchain" ? Section::Active : Section::Installed;
            sawRule = false;
            continue;
        }
        if (isSectionRule(line)) {
            sawRule = true;
            continue;
        }
        if (line.empty() || !sawRule) continue;
        // What rustup says in either section when there is none.
        if (line == "no active toolchain" || line == "no installed toolchains") continue;
        bool isDefault = false;
        if (section == Section::Installed) {
            std::string name = toolchainName(line, isDefault);
            if (name.empty() || !isSafeArgument(name)) continue;
            if (isDefault) shown.defaultToolchain = name;
            shown.toolchains.push_back(std::move(name));
        } else if (section == Section::Active && !active) {
            // Only the first line names it; targets, the reason and rustc's version follow.
            std::string name = toolchainName(line, isDefault);
            if (isSafeArgument(name)) active = name;
            if (isDefault && active) shown.defaultToolchain = active;
        }
    }
    // Older rustup prints no installed section when there is a single toolchain.
    if (shown.toolchains.empty() && active) shown.toolchains.push_back(*active);
    return shown;
}

std::vector<RustupManager::CheckLine> RustupManager::parseCheck(std::string_view text) {
    static const Regex line(R"(^(\S+) - ([^:]+?)\s*:\s*(.*?)\s*$)");
    std::vector<CheckLine> lines;
    for (std::string_view raw : splitLines(text)) {
        std::optional<Regex::Match> match = line.search(trimView(raw));
        if (!match || !match->groups[0] || !match->groups[1] || !match->groups[2]) continue;
        CheckLine entry;
        entry.name = std::string(*match->groups[0]);
        entry.updateAvailable = contains(toLower(*match->groups[1]), "update available");
        std::string_view versions = *match->groups[2];
        if (const std::size_t arrow = versions.find("->"); arrow != std::string_view::npos) {
            entry.installed = trim(versions.substr(0, arrow));
            entry.latest = trim(versions.substr(arrow + 2));
        } else {
            entry.installed = trim(versions);
        }
        if (entry.updateAvailable && entry.latest.empty()) continue;
        lines.push_back(std::move(entry));
    }
    return lines;
}

std::optional<std::string> RustupManager::parseSelfVersion(std::string_view text) {
    static const Regex version(R"((?m)^rustup\s+(\S+))");
    std::optional<Regex::Match> match = version.search(text);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

std::string RustupManager::displayVersion(std::string_view rustVersion) {
    static const Regex date(R"(\d{4}-\d{2}-\d{2})");
    std::string_view trimmed = trimView(rustVersion);
    std::string number(trimmed.substr(0, trimmed.find(' ')));
    if (number.find('-') == std::string::npos) return number;
    if (std::optional<Regex::Match> found = date.search(trimmed)) {
        number += " (";
        number += trimmed.substr(found->offset, found->length);
        number += ")";
    }
    return number;
}

std::string RustupManager::channelOf(std::string_view toolchain) {
    for (std::string_view channel : {"stable", "beta", "nightly"}) {
        if (toolchain == channel) return std::string(channel);
        // "nightly-2024-01-01-..." is pinned to its date: only its whole name updates it.
        std::string prefix(channel);
        prefix += "-";
        static const Regex dated(R"(^\d{4}-\d{2}-\d{2})");
        if (startsWith(toolchain, prefix) && !dated.matches(toolchain.substr(prefix.size()))) {
            return std::string(channel);
        }
    }
    return std::string(toolchain);
}

Package RustupManager::toolchainPackage(const std::string& name, const std::string& rustupHome) const {
    Package package;
    package.name = name;
    package.type = PackageType::RustupToolchain;
    package.version = "unknown";
    std::string manifest = rustupHome;
    manifest += "/toolchains/";
    manifest += name;
    manifest += "/lib/rustlib/multirust-channel-manifest.toml";
    try {
        const std::string text = files_.readFile(manifest);
        // The version of the "rust" package is the toolchain's: `version = "1.95.0 (59807616e 2026-04-14)"`.
        const std::size_t section = text.find("\n[pkg.rust]\n");
        if (section != std::string::npos) {
            static const Regex version(R"re(^version = "([^"]+)")re", {.multiline = true});
            std::optional<Regex::Match> match = version.search(text, section);
            if (match && match->groups[0]) package.version = displayVersion(*match->groups[0]);
        }
    } catch (const std::exception&) {
        // A custom (linked) toolchain has no manifest; its version stays unknown.
    }
    if (channelOf(name) == "stable") {
        package.description = "stable toolchain";
    } else {
        static const Regex date(R"(\d{4}-\d{2}-\d{2})");
        if (std::optional<Regex::Match> found = date.search(name)) {
            package.description = name.substr(found->offset, found->length);
        }
    }
    return package;
}

std::string RustupManager::configuredHome() const {
    const std::map<std::string, std::string> variables = environment();
    auto found = variables.find("RUSTUP_HOME");
    return found != variables.end() && !found->second.empty() ? found->second : home() + "/.rustup";
}

std::vector<Package> RustupManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    // Any call, --version included, makes rustup's home and writes its settings there: where
    // there is no home, nothing was installed through it, and a scan changes nothing.
    if (!files_.directoryExists(configuredHome())) return {};
    ShellCommandResult shown = tool({"show"}, kShowTimeout, stop);
    Shown parsed = parseShow(shown.standardOutput);
    if (shown.exitCode != 0 && parsed.toolchains.empty()) {
        message = failureText() + ": " + excerpt(trim(shown.standardError), 300);
    }
    const std::string rustupHome = parsed.rustupHome.empty() ? configuredHome() : parsed.rustupHome;
    std::vector<Package> packages;
    for (const std::string& name : parsed.toolchains) packages.push_back(toolchainPackage(name, rustupHome));
    ShellCommandResult version = tool({"--version"}, kShowTimeout, stop);
    if (std::optional<std::string> self = parseSelfVersion(version.standardOutput)) {
        Package& package = packages.emplace_back();
        package.name = kSelf;
        package.version = *self;
        package.type = PackageType::RustupToolchain;
    }
    return packages;
}

std::vector<Package> RustupManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    if (!files_.directoryExists(configuredHome())) return {};
    ShellCommandResult result = tool({"check"}, kCheckTimeout, stop);
    std::vector<Package> rows;
    for (const CheckLine& line : parseCheck(result.standardOutput)) {
        if (!line.updateAvailable) continue;
        Package package;
        package.name = line.name;
        package.type = PackageType::RustupToolchain;
        package.version = line.name == kSelf ? line.installed : displayVersion(line.installed);
        package.latestVersion = line.name == kSelf ? line.latest : displayVersion(line.latest);
        // Same number, later build (a nightly): the dates tell them apart.
        if (package.latestVersion == package.version) package.latestVersion = line.latest;
        rows.push_back(std::move(package));
    }
    // rustup check says "error: could not download file from ..." and still exits 0.
    const std::string errors = result.standardError;
    const bool unreachable = contains(errors, "could not download") || contains(errors, "error sending request") ||
                             contains(errors, "dns error");
    markLatestVersionsUnknown(unreachable);
    if (unreachable) {
        message = localized("rustup.dist_unreachable", {Endpoints::host(Service::RustupDist)});
    } else if (result.exitCode != 0 && rows.empty()) {
        message = failureText() + ": " + excerpt(trim(errors), 300);
    }
    return overListing(std::move(rows));
}

void RustupManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    requireTool(stop);
    if (package.name == kSelf) {
        runUpdate({"self", "update"}, kUpdateTimeout, stop, failureText());
        return;
    }
    runUpdate({"update", channelOf(package.name), "--no-self-update"}, kUpdateTimeout, stop, failureText());
}


std::vector<std::string> RustupManager::listingInputs() {
    const std::string rustupHome = variable(options_.environment, "RUSTUP_HOME").value_or(home() + "/.rustup");
    std::vector<std::string> paths{rustupHome + "/settings.toml"};
    addFolderAndEntries(paths, rustupHome + "/toolchains");
    addFolderAndEntries(paths, rustupHome + "/update-hashes");
    return paths;
}

}  // namespace vt
