#include "managers/toolchains/MacPortsManager.hpp"

#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/system/SystemListing.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {

namespace {

// "8.5.0_0+ssl+http2" → "8.5.0_0": the variants are how it was built, not which version.
std::string withoutVariants(std::string_view version) { return std::string(version.substr(0, version.find('+'))); }

Package portPackage(const MacPortsManager::Port& port) {
    Package package;
    package.name = port.name;
    package.version = port.version;
    package.latestVersion = port.latest;
    package.type = PackageType::MacPorts;
    return package;
}

}  // namespace

const SourceRow& MacPortsManager::source() {
    static const SourceRow row{.id = "macports", .name = "MacPorts", .executables = {"port"},
                               .types = {PackageType::MacPorts}, .toggle = ManagerToggleKey::ShowMacPorts,
                               .folders = {"/opt/local/bin/"}, .completionLine = "MacPorts",
                               .logTag = "macports", .make = makeAdapter<MacPortsManager>};
    return row;
}

MacPortsManager::MacPortsManager(CommandRunning& runner, const FileSystemManager& files)
    : MacPortsManager(runner, files, Options{}) {}

MacPortsManager::MacPortsManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {}, "MacPortsManager") {}

std::vector<MacPortsManager::Port> MacPortsManager::parseInstalled(std::string_view output) {
    static const Regex line(R"(^\s+([^\s@]+)\s+@([^\s]+))");
    std::vector<Port> ports;
    bool anyActive = false;
    for (std::string_view raw : splitLines(output)) {
        std::optional<Regex::Match> match = line.search(raw);
        if (!match || !match->groups[0] || !match->groups[1] || !isSafeArgument(*match->groups[0])) continue;
        Port port{.name = std::string(*match->groups[0]), .version = withoutVariants(*match->groups[1])};
        port.active = contains(raw, "(active)");
        anyActive = anyActive || port.active;
        ports.push_back(std::move(port));
    }
    // Several versions of a port may be installed; only the active one is in use.
    if (anyActive) std::erase_if(ports, [](const Port& port) { return !port.active; });
    return ports;
}

std::vector<MacPortsManager::Port> MacPortsManager::parseOutdated(std::string_view output) {
    // "curl   8.5.0_0 < 8.6.0_0" (port's table), or "  curl @8.6.0_0" lines naming the version.
    static const Regex table(R"(^(\S+)\s+(\S+)\s+<\s+(\S+))");
    static const Regex named(R"(^\s+([^\s@]+)\s+@([^\s]+))");
    std::vector<Port> ports;
    for (std::string_view raw : splitLines(output)) {
        if (std::optional<Regex::Match> match = table.search(raw); match && match->groups[2]) {
            Port port{.name = std::string(*match->groups[0]), .version = withoutVariants(*match->groups[1]),
                      .latest = withoutVariants(*match->groups[2])};
            if (isSafeArgument(port.name)) ports.push_back(std::move(port));
        } else if (std::optional<Regex::Match> found = named.search(raw); found && found->groups[1]) {
            Port port{.name = std::string(*found->groups[0]), .version = withoutVariants(*found->groups[1])};
            if (isSafeArgument(port.name)) ports.push_back(std::move(port));
        }
    }
    return ports;
}

std::optional<std::string> MacPortsManager::parseVersion(std::string_view output) {
    static const Regex version(R"((?m)^Version:\s*(\S+))");
    std::optional<Regex::Match> match = version.search(output);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

std::vector<Package> MacPortsManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"installed"}, kListTimeout, stop);
    std::vector<Package> packages;
    for (const Port& port : parseInstalled(result.standardOutput)) packages.push_back(portPackage(port));
    if (result.exitCode != 0 && packages.empty()) {
        message = localized("macports.command_failed", {excerpt(trim(result.standardError), 300)});
    }
    if (std::optional<std::string> version = parseVersion(tool({"version"}, kListTimeout, stop).standardOutput)) {
        packages.push_back(portPackage(Port{.name = kSelf, .version = *version}));
    }
    return packages;
}

std::vector<Package> MacPortsManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"outdated"}, kListTimeout, stop);
    std::vector<Package> installed = packages();
    std::vector<Package> rows;
    for (const Port& port : parseOutdated(result.standardOutput)) {
        Package package = portPackage(port);
        // A line that names one version only: the version port would install.
        if (!package.latestVersion) {
            std::string current = package.version;
            for (const Package& known : installed) {
                if (known.name == package.name) current = known.version;
            }
            package.latestVersion = systemlisting::pendingVersion(current, package.version);
        }
        rows.push_back(std::move(package));
    }
    if (result.exitCode != 0 && rows.empty()) {
        message = localized("macports.command_failed", {excerpt(trim(result.standardError), 300)});
    }
    return overListing(std::move(rows));
}

void MacPortsManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    requireTool(stop);
    PrivilegedCommand command{.prompt = localized("macports.admin.prompt", {package.name}),
                              .command = binaryPath(),
                              .arguments = {"-N", "upgrade", package.name},
                              .timeoutSeconds = kUpgradeTimeout};
    if (package.name == kSelf) command.arguments = {"-N", "selfupdate"};
    std::string line = "📦 port ";
    line += join(command.arguments, " ");
    log().info(line);
    adminPrompt().run(command, stop);
}

}  // namespace vt
