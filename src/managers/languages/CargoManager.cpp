#include "managers/languages/CargoManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "base/Toml.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/languages/CargoError.hpp"
#include "managers/RegistryProbe.hpp"
#include "managers/languages/ToolEnvironment.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("CargoManager");
    return instance;
}

std::string scanError(const CommandError& error) {
    return localized("cargo_scan_error", {firstLine(commandOutput(error))});
}

}  // namespace

const SourceRow& CargoManager::source() {
    static const SourceRow row{.id = "cargo", .name = "Cargo", .executables = {"cargo"},
                               .types = {PackageType::CargoPackage}, .toggle = ManagerToggleKey::ShowCargo,
                               .folders = {"~/.cargo/bin/"}, .completionLine = "Cargo",
                               .logTag = "cargo", .make = makeAdapter<CargoManager>};
    return row;
}

CargoManager::CargoManager(CommandRunning& runner, const FileSystemManager& files)
    : CargoManager(runner, files, Options{}) {}

CargoManager::CargoManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files),
      options_(std::move(options)),
      latestCache_(LatestVersionCache::forRegistry(options_.cacheFile, kCacheFileName, options_.clock, "CargoManager")) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

CargoManager::~CargoManager() = default;

std::string CargoManager::home() const { return options_.home.value_or(paths::home()); }

std::string CargoManager::cargoHome() const {
    return variable(options_.environment, "CARGO_HOME").value_or(home() + "/.cargo");
}

std::vector<std::string> CargoManager::executableCandidates(const std::string& home) {
    return {home + "/.cargo/bin/cargo", "/opt/homebrew/bin/cargo", "/usr/local/bin/cargo"};
}

std::optional<std::string> CargoManager::locateExecutable(std::stop_token stop) {
    return ExecutableLocator(files_).locate(identity().executables, stop, executableCandidates(home()));
}

std::vector<CargoManager::CargoCrate> CargoManager::parseInstallList(std::string_view text) {
    static const Regex crateLine(R"(^(\S+)\s+v([\d.]+(?:-[a-zA-Z0-9.]+)?))");
    std::vector<CargoCrate> crates;
    for (std::string_view raw : splitLines(text)) {
        if (raw.empty()) continue;
        if (isBlank(raw.front())) {
            // A binary of the crate above: "    rg".
            std::string binary = trim(raw);
            if (!crates.empty() && !binary.empty()) crates.back().binaries.push_back(std::move(binary));
            continue;
        }
        std::optional<Regex::Match> match = crateLine.search(raw);
        if (!match || !match->groups[0] || !match->groups[1]) continue;
        CargoCrate crate;
        crate.name = std::string(*match->groups[0]);
        crate.version = std::string(*match->groups[1]);
        // "tool v0.1.0 (/src/tool):", "tool v0.1.0 (GIT-URL#1a2b3c):"; a registry other than the
        // default one reads "(registry+URL)" and is not ours to ask.
        std::string_view rest = raw.substr(match->offset + match->length);
        std::size_t open = rest.find('(');
        std::size_t close = rest.rfind(')');
        if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
            crate.source = std::string(rest.substr(open + 1, close - open - 1));
        }
        crates.push_back(std::move(crate));
    }
    return crates;
}

std::optional<std::vector<CargoManager::CargoCrate>> CargoManager::parseCratesRecord(std::string_view text) {
    std::optional<toml::table> document = parseToml(text);
    if (!document) return std::nullopt;
    std::vector<CargoCrate> crates;
    // Cargo leaves the record empty until something is installed.
    if (!document->contains("v1")) return crates;
    const toml::table* installs = (*document)["v1"].as_table();
    if (installs == nullptr) return std::nullopt;
    for (const auto& [key, value] : *installs) {
        const std::vector<std::string_view> words = split(key.str(), ' ');
        if (words.size() < 3 || words[0].empty() || words[1].empty()) continue;
        const std::string_view rest = trimView(key.str().substr(words[0].size() + words[1].size() + 2));
        if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')') continue;
        CargoCrate crate{.name = std::string(words[0]), .version = std::string(words[1])};
        const std::string_view source = rest.substr(1, rest.size() - 2);
        if (startsWith(source, "path+file://")) {
            crate.source = std::string(source.substr(std::string_view("path+file://").size()));
        } else if (startsWith(source, "git+")) {
            crate.source = std::string(source.substr(4));
        } else if (startsWith(source, "registry+") || startsWith(source, "sparse+")) {
            const std::string_view address = source.substr(source.find('+') + 1);
            // crates.io's index, in its Git form or its sparse one.
            const bool cratesIo = endsWith(address, "/rust-lang/crates.io-index") || contains(address, "://index.crates.io");
            if (!cratesIo) crate.source = std::string(address);
        } else {
            crate.source = std::string(source);
        }
        if (const toml::array* binaries = value.as_array()) {
            for (const toml::node& binary : *binaries) {
                if (const auto* name = binary.as_string()) crate.binaries.push_back(name->get());
            }
        }
        crates.push_back(std::move(crate));
    }
    return crates;
}

std::optional<std::string> CargoManager::latestVersionOf(const Json& document, const std::string& name,
                                                         const std::string& installed) {
    if (!document.is_object() || !document.contains("crate") || !document["crate"].is_object()) return std::nullopt;
    const Json& crate = document["crate"];
    std::optional<std::string> version = stringField(crate, "max_stable_version");
    if (!version || trimView(*version).empty()) version = stringField(crate, "max_version");
    if (!version || trimView(*version).empty()) return std::nullopt;
    if (contains(*version, "-")) {
        logger().info(localized("log.cargo.prerelease_ignored", {name, *version}));
        return installed;
    }
    if (document.contains("versions") && document["versions"].is_array()) {
        for (const Json& entry : document["versions"]) {
            if (!entry.is_object() || stringField(entry, "num") != version) continue;
            if (entry.contains("bin_names") && entry["bin_names"].is_array() && entry["bin_names"].empty()) {
                logger().info(localized("log.cargo.library_ignored", {name, *version}));
                return installed;
            }
        }
    }
    return version;
}

std::vector<CargoManager::CargoCrate> CargoManager::readInstalled(std::stop_token stop) {
    // `cargo install --list` prints cargo's record: reading it spares a start of cargo, and of
    // rustup's proxy before it. No record at all: nothing was ever installed with cargo.
    const std::string record = cargoHome() + "/.crates.toml";
    if (!files_.fileExists(record) && !files_.fileExists(cargoHome() + "/.crates2.json")) return {};
    try {
        if (auto crates = parseCratesRecord(files_.readFile(record))) return *crates;
    } catch (const std::exception& error) {
        logger().debug(localized("log.command_error", {record, error.what()}));
    }
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"install", "--list"};
    request.timeout = kListTimeout;
    request.environment = toolEnvironment({"CARGO_HOME", "RUSTUP_HOME", "RUSTUP_TOOLCHAIN"}, options_.environment);
    return parseInstallList(run(request, stop).standardOutput);
}

Package CargoManager::makePackage(const CargoCrate& crate) const {
    Package package;
    package.name = crate.name;
    package.version = crate.version;
    package.type = PackageType::CargoPackage;
    package.description =
        localized(crate.isFromRegistry() ? "cargo.crate.source.registry" : "cargo.crate.source.local");
    if (crate.source) package.sourceIdentifier = crate.source;
    return package;
}

std::vector<Package> CargoManager::listInstalled(std::stop_token stop) {
    return publishToolListing(
        stop,
        [&] {
            std::vector<Package> packages;
            for (const CargoCrate& crate : installed_.read(stop)) packages.push_back(makePackage(crate));
            return packages;
        },
        [](const CommandError& error) {
            logger().warning(localized("log.command_failed", {"cargo install --list", error.description()}));
            return scanError(error);
        });
}

std::vector<Package> CargoManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage(std::nullopt);
        return {};
    }
    std::optional<std::vector<CargoCrate>> known =
        readOrReport(stop, [&] { return installed_.lastOrRead(stop); }, scanError);
    if (!known) return {};
    std::vector<std::string> names;
    std::map<std::string, std::string> installed;
    for (const CargoCrate& crate : *known) {
        if (!crate.isFromRegistry()) continue;
        names.push_back(crate.name);
        installed[crate.name] = crate.version;
    }
    RegistryProbe registry(network(), Service::Crates, "CargoManager");
    // The crate's document lists every version with its publish time: dating costs nothing more.
    const bool dated = wantsPublishTimes();
    // Which version is the latest depends on the one installed (a pre-release is followed by
    // newer pre-releases): a kept answer is revalidated only for the same one.
    const auto lookup = registry.revalidatingLookup(
        [](std::string_view crate) { return Endpoints::url(Service::Crates, "/api/v1/crates/" + std::string(crate)); },
        [&](const std::string& name) { return installed.at(name); },
        [&](const Json& document, const std::string& name, std::stop_token) -> std::optional<LatestVersionCache::Answer> {
            std::optional<std::string> version = latestVersionOf(document, name, installed.at(name));
            if (!version) return std::nullopt;
            LatestVersionCache::Answer answer{*version, {}, {}};
            if (dated) answer.releases = releasesNewerThan(installed.at(name), publishtimes::fromCratesDocument(document));
            return answer;
        });
    // Answers kept without publish times do not serve when they are wanted.
    const std::map<std::string, LatestVersionCache::Answer> latest =
        latestCache_.latestRevalidated(names, lookup, stop, registry.scope() + (dated ? " dated" : ""));

    std::vector<Package> outdated;
    for (const CargoCrate& crate : *known) {
        auto found = latest.find(crate.name);
        if (!crate.isFromRegistry() || found == latest.end()) continue;
        logger().info(localized("log.cargo.refreshed", {crate.name, crate.version, found->second.version}));
        if (!isUpdateAvailable(crate.version, found->second.version, false)) continue;
        Package package = makePackage(crate);
        package.latestVersion = found->second.version;
        package.releases = releasesNewerThan(crate.version, found->second.releases);
        outdated.push_back(std::move(package));
    }
    setErrorMessage(registry.wasUnreachable() ? std::optional<std::string>(registry.unreachableMessage())
                                              : std::nullopt);
    markLatestVersionsUnknown(registry.wasUnreachable());
    return outdated;
}

void CargoManager::update(const Package& package, std::stop_token stop) {
    if (!RegistryProbe::isSafeName(package.name)) throw CargoError::invalidName(package.name);
    if (!discover(stop)) throw CargoError::notInstalled();
    const std::string cargo = binaryPath();
    CommandRequest request;
    request.command = cargo;
    request.arguments = {"install", package.name};
    // A version without an operator is that exact version to cargo, never a range.
    if (const std::optional<std::string> pinned = pinnedVersion(package)) {
        request.arguments.insert(request.arguments.end(), {"--version", *pinned});
    }
    request.arguments.push_back("--force");
    logger().info(localized("log.running", {cargo + " " + join(request.arguments, " ")}));
    request.timeout = kInstallTimeout;
    request.environment = toolEnvironment({"CARGO_HOME", "RUSTUP_HOME", "RUSTUP_TOOLCHAIN"}, options_.environment);
    try {
        run(request, stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().error(localized("log.command_output", {commandOutput(error)}));
        throw CargoError::commandFailed(excerpt(commandOutput(error), 600));
    }

    std::vector<CargoCrate> crates;
    try {
        crates = installed_.read(stop);
    } catch (const CommandError& error) {
        logger().warning(localized("log.list_after_update_failed", {"cargo install --list", error.description()}));
        return;
    }
    auto found = std::find_if(crates.begin(), crates.end(),
                              [&](const CargoCrate& crate) { return crate.name == package.name; });
    const std::string now = found == crates.end() ? std::string() : found->version;
    const std::string expected = package.latestVersion.value_or(now);
    if (!now.empty() && now == expected && now != package.version) {
        logger().info(localized("log.updated_from_to", {package.name, package.version, now}));
    } else if (!now.empty() && now == package.version && (expected == now || !package.latestVersion)) {
        logger().info(localized("log.already_up_to_date", {package.name}));
    } else {
        logger().error(localized("log.update_wrong_version", {package.name, now, expected}));
        throw CargoError::versionMismatch(package.name, now, expected);
    }
    std::vector<Package> packages;
    for (const CargoCrate& crate : crates) packages.push_back(makePackage(crate));
    publishPackages(std::move(packages));
}


std::vector<std::string> CargoManager::listingInputs() {
    const std::string folder = cargoHome();
    std::vector<std::string> paths{folder + "/.crates2.json", folder + "/.crates.toml"};
    addFolderAndEntries(paths, folder + "/bin");
    return paths;
}

}  // namespace vt
