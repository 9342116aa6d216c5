#include "managers/editors/IDEExtensionManager.hpp"

#include <algorithm>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/editors/IDEExtensionError.hpp"
#include "model/VersionRules.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kGalleryQueryPath = "/_apis/public/gallery/extensionquery";
// Microsoft's gallery answers the version the editors themselves send; Cursor's serves the
// newer revision of the same protocol.
constexpr const char* kGalleryAccept = "application/json;api-version=3.0-preview.1";
constexpr const char* kCursorGalleryAccept = "application/json;api-version=6.0-preview.1";
constexpr const char* kCursorClientHeader = "x-cursor-client-version";

bool looksLikeEditorVersion(std::string_view text) {
    static const Regex pattern(R"(^\d+\.\d+(\.\d+)?([-.+][0-9A-Za-z.-]*)?$)");
    return text.size() < 64 && pattern.fullyMatches(text);
}

std::string vsixKey(const std::string& identifier, const std::string& version) {
    std::string key = toLower(identifier);
    key += "@";
    key += version;
    return key;
}

std::string failureText(const CommandError& error) {
    std::string detail = trim(error.detail());
    return detail.empty() ? error.description() : detail;
}

}  // namespace

// One round of look-ups: its time limits and what it met on the way.
struct IDEExtensionManager::Round {
    bool lightweight = false;
    double requestTimeout = kMarketplaceRequestTimeout;
    SteadyClock::time_point deadline{};
    std::optional<std::string> cursorClientVersion;
    std::atomic<bool> budgetSpent{false};
    std::atomic<bool> unreachable{false};
    std::atomic<std::size_t> reached{0};

    // Seconds a request may take now; 0 once the budget is spent.
    double timeLeft() {
        if (!lightweight) return requestTimeout;
        const double left = std::chrono::duration<double>(deadline - SteadyClock::now()).count();
        if (left <= 0.01) {
            budgetSpent.store(true);
            return 0;
        }
        return std::min(requestTimeout, left);
    }
};

const std::vector<IDEEditor>& IDEExtensionManager::editors() {
    using K = ManagerToggleKey;
    static const std::vector<IDEEditor> table = {
        {IDEType::VSCode, "vscode", "VS Code", "code", "Visual Studio Code", Service::VsMarketplace,
         PackageType::VscodeExtension, K::ShowVSCode, "VSCode", "/usr/share/code", "com.visualstudio.code", ".vscode"},
        {IDEType::VSCodeInsiders, "vscode-insiders", "VS Code Insiders", "code-insiders",
         "Visual Studio Code - Insiders", Service::VsMarketplace, PackageType::VscodeInsidersExtension,
         K::ShowVSCodeInsiders, "VSCodeInsiders", "/usr/share/code-insiders", "", ".vscode-insiders"},
        {IDEType::VSCodium, "vscodium", "VSCodium", "codium", "VSCodium", Service::OpenVsx,
         PackageType::VscodiumExtension, K::ShowVSCodium, "VSCodium", "/usr/share/codium", "com.vscodium.codium", ".vscode-oss"},
        {IDEType::Cursor, "cursor", "Cursor", "cursor", "Cursor", Service::CursorMarketplace,
         PackageType::CursorExtension, K::ShowCursor, "Cursor", "/usr/share/cursor", "", ".cursor"},
        {IDEType::Windsurf, "windsurf", "Windsurf", "windsurf", "Windsurf", Service::OpenVsx,
         PackageType::WindsurfExtension, K::ShowWindsurf, "Windsurf", "/usr/share/windsurf", "", ".windsurf"},
    };
    return table;
}

const IDEEditor& IDEExtensionManager::editor(IDEType type) {
    for (const IDEEditor& entry : editors()) {
        if (entry.type == type) return entry;
    }
    throw std::logic_error("an editor without a row");
}

const SourceRow& IDEExtensionManager::source(IDEType type) {
    static const std::vector<SourceRow> rows = [] {
        std::vector<SourceRow> made;
        for (const IDEEditor& entry : editors()) {
            const IDEType editorType = entry.type;
            made.push_back(SourceRow{
                .id = entry.id, .name = entry.name, .executables = {entry.binaryName}, .types = {entry.packageType},
                .toggle = entry.toggle, .completionLine = entry.name, .logTag = entry.id,
                .make = [editorType](CommandRunning& runner, const FileSystemManager& files) -> std::unique_ptr<BaseManager> {
                    return std::make_unique<IDEExtensionManager>(editorType, runner, files);
                }});
        }
        return made;
    }();
    const std::string& id = editor(type).id;
    for (const SourceRow& row : rows) {
        if (row.id == id) return row;
    }
    throw std::logic_error("an editor without a row");
}

std::vector<std::string> IDEExtensionManager::executableCandidates(const IDEEditor& editor, const std::string& home) {
    const std::string& tool = editor.binaryName;
    std::vector<std::string> candidates = {
        "/Applications/" + editor.appName + ".app/Contents/Resources/app/bin/" + tool,
        "/opt/homebrew/bin/" + tool,
        "/usr/local/bin/" + tool,
        "/usr/bin/" + tool,
        editor.linuxFolder + "/bin/" + tool,
        "/snap/bin/" + tool,
        home + "/.local/bin/" + tool,
    };
    if (!editor.flatpakId.empty()) {
        candidates.push_back("/var/lib/flatpak/exports/bin/" + editor.flatpakId);
        candidates.push_back(home + "/.local/share/flatpak/exports/bin/" + editor.flatpakId);
    }
    return candidates;
}

std::string IDEExtensionManager::marketplacePage(const IDEEditor& editor, const std::string& identifier) {
    try {
        if (editor.marketplace == Service::OpenVsx) {
            const std::size_t dot = identifier.find('.');
            std::string path = "/extension/" + identifier.substr(0, dot);
            path += "/";
            path += identifier.substr(dot + 1);
            return Endpoints::url(Service::OpenVsx, path);
        }
        // Cursor's marketplace mirrors Microsoft's, which has the pages.
        return Endpoints::url(Service::VsMarketplace, "/items?itemName=" + identifier);
    } catch (const EndpointError&) {
        return {};
    }
}

IDEExtensionManager::IDEExtensionManager(IDEType type, CommandRunning& runner, const FileSystemManager& files)
    : IDEExtensionManager(type, runner, files, Options{}) {}

IDEExtensionManager::IDEExtensionManager(IDEType type, CommandRunning& runner, const FileSystemManager& files,
                                         Options options)
    : BaseManager(source(type), runner, files),
      editor_(editor(type)),
      options_(std::move(options)),
      // Every round asks again (no time to live): the file only stands in for the extensions
      // a round did not reach.
      latestCache_({.file = options_.cacheFile.value_or(paths::cacheFolder() + "/" + editor_.id + "_extensions_latest.json"),
                    .ttl = std::chrono::seconds(0),
                    .concurrency = kLookupConcurrency,
                    .logName = editor_.logName + "Manager"}) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

IDEExtensionManager::~IDEExtensionManager() = default;

std::string IDEExtensionManager::home() const { return options_.home.value_or(paths::home()); }

std::optional<std::string> IDEExtensionManager::locateExecutable(std::stop_token stop) {
    return ExecutableLocator(files_).locate(editor_.binaryName, stop, executableCandidates(editor_, home()));
}

std::vector<InstalledExtension> IDEExtensionManager::readInstalled(std::stop_token stop) {
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"--list-extensions", "--show-versions"};
    request.timeout = options_.inventoryTimeout;
    return ExtensionMarketplace::parseExtensionList(run(request, stop).standardOutput);
}

Package IDEExtensionManager::makePackage(const InstalledExtension& extension) const {
    Package package;
    package.name = extension.identifier;
    package.version = extension.version;
    package.type = editor_.packageType;
    std::string page = marketplacePage(editor_, extension.identifier);
    if (!page.empty()) package.homepage = std::move(page);
    return package;
}

std::vector<Package> IDEExtensionManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    std::vector<InstalledExtension> installed;
    if (auto failure = failureOf([&] { installed = readInstalled(stop); }, stop)) {
        Logger(editor_.logName + "Manager")
            .warning(localized("log.command_failed", {editor_.binaryName + " --list-extensions", *failure}));
        return publishEmptyListing(excerpt(*failure, 300));
    }
    std::vector<Package> packages;
    for (const InstalledExtension& extension : installed) packages.push_back(makePackage(extension));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    listedSinceCheck_.store(true);
    return packages;
}

std::vector<Package> IDEExtensionManager::checkOutdated(std::stop_token stop) {
    // Right after a listing the user is waiting for a full answer; a check over the inventory
    // of an earlier scan is the quick kind.
    return checkForUpdates(!listedSinceCheck_.exchange(false), stop);
}

std::vector<Package> IDEExtensionManager::checkForUpdates(bool lightweight, std::stop_token stop) {
    const Logger log(editor_.logName + "Manager");
    LoadingScope loading(*this);
    const bool available = discover(stop);
    std::vector<InstalledExtension> installed;
    std::optional<std::string> failure;
    if (available) {
        for (const Package& package : packages()) installed.push_back({package.name, package.version});
        if (installed.empty()) failure = failureOf([&] { installed = readInstalled(stop); }, stop);
    }
    if (installed.empty()) {
        log.info(localized(available ? "log.ide.none_installed" : "log.ide.not_available", {editor_.name}));
        setErrorMessage(failure ? std::optional<std::string>(excerpt(*failure, 300)) : std::nullopt);
        return {};
    }

    VersionFilter filter{.platform = ExtensionMarketplace::machinePlatform(), .editorVersion = editorVersion(stop)};
    Round round;
    round.lightweight = lightweight;
    round.requestTimeout = lightweight ? options_.lightweightRequestTimeout : kMarketplaceRequestTimeout;
    round.deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                              std::chrono::duration<double>(options_.lightweightBudget));
    if (editor_.type == IDEType::Cursor) round.cursorClientVersion = cursorClientVersion();

    // A pre-release install looks like any other version; the editor's own record tells.
    std::set<std::string> preReleases;
    const std::string record = home() + "/" + editor_.dataFolder + "/extensions/extensions.json";
    if (files_.fileExists(record)) {
        failureOf([&] { preReleases = ExtensionMarketplace::preReleaseInstalls(files_.readFile(record)); }, stop);
    }
    std::map<std::string, const InstalledExtension*> byName;
    std::vector<std::string> names;
    for (const InstalledExtension& extension : installed) {
        if (byName.emplace(extension.identifier, &extension).second) names.push_back(extension.identifier);
    }
    const bool dated = wantsPublishTimes();
    const auto lookup = [&](const std::string& name, std::stop_token token) -> std::optional<LatestVersionCache::Answer> {
        if (round.budgetSpent.load()) return std::nullopt;
        const InstalledExtension& extension = *byName.at(name);
        VersionFilter own = filter;
        own.installedIsPreRelease = isPreRelease(extension.version) || preReleases.count(toLower(name)) > 0;
        LatestVersionCache::Answer answer;
        std::optional<MarketplaceVersion> found = latestFor(extension, own, round, token, dated ? &answer.releases : nullptr);
        if (!round.budgetSpent.load()) round.reached.fetch_add(1);
        if (!found) return std::nullopt;
        remember(extension.identifier, *found);
        answer.version = found->version;
        answer.releases = releasesNewerThan(extension.version, std::move(answer.releases));
        return answer;
    };
    std::map<std::string, LatestVersionCache::Answer> latest;
    std::string scope;
    try {
        scope = Endpoints::base(editor_.marketplace);
    } catch (const EndpointError& error) {
        log.warning(error.what());
        setErrorMessage(std::string(error.what()));
        return {};
    }
    try {
        // Answers kept without publish times do not serve when they are wanted.
        latest = latestCache_.latestDated(names, lookup, stop, scope + (dated ? " dated" : ""));
    } catch (const CancellationError&) {
        log.info(localized("log.ide.cancelled_after", {editor_.name, std::to_string(round.reached.load())}));
        throw;
    }

    std::vector<Package> outdated;
    for (const InstalledExtension& extension : installed) {
        auto found = latest.find(extension.identifier);
        if (found == latest.end() || !isUpdateAvailable(extension.version, found->second.version, true)) continue;
        Package package = makePackage(extension);
        package.latestVersion = found->second.version;
        package.releases = releasesNewerThan(extension.version, found->second.releases);
        outdated.push_back(std::move(package));
    }
    if (round.budgetSpent.load()) {
        log.info(localized("log.ide.cancelled_after", {editor_.name, std::to_string(round.reached.load())}));
    } else {
        log.info(localized("log.ide.checked", {editor_.name, std::to_string(outdated.size()),
                                               std::to_string(installed.size())}));
    }
    std::optional<std::string> message;
    if (round.unreachable.load()) {
        try {
            message = localized("error.registry.unreachable", {Endpoints::host(editor_.marketplace)});
        } catch (const EndpointError&) {
        }
    }
    setErrorMessage(message);
    markLatestVersionsUnknown(round.unreachable.load());
    return outdated;
}

std::optional<Json> IDEExtensionManager::productFile(const char* name) const {
    std::vector<std::string> folders;
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::canonical(binaryPath(), error);
    if (!error && tool.has_parent_path()) {
        // TOOL sits in ROOT/bin: the macOS bundle keeps the files in ROOT, the Linux packages
        // in ROOT/resources/app.
        const std::filesystem::path root = tool.parent_path().parent_path();
        folders.push_back(root.string());
        folders.push_back((root / "resources" / "app").string());
    }
    folders.push_back("/Applications/" + editor_.appName + ".app/Contents/Resources/app");
    for (const std::string& folder : folders) {
        const std::string path = folder + "/" + name;
        if (!files_.fileExists(path)) continue;
        try {
            if (std::optional<Json> json = parseJson(files_.readFile(path)); json && json->is_object()) return json;
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

std::optional<std::string> IDEExtensionManager::cursorClientVersion() const {
    if (std::optional<Json> product = productFile("product.json")) {
        std::optional<std::string> version = stringField(*product, "version");
        if (version && looksLikeEditorVersion(*version)) return version;
    }
    return std::nullopt;
}

std::optional<std::string> IDEExtensionManager::editorVersion(std::stop_token stop) {
    {
        std::scoped_lock lock(stateMutex_);
        if (editorVersion_) return *editorVersion_;
    }
    std::optional<std::string> version;
    std::optional<Json> product = productFile("product.json");
    std::optional<Json> package = productFile("package.json");
    // A fork's own version is not the editor base its extensions are built against.
    for (const auto& [file, key] : {std::pair{&product, "vscodeVersion"}, std::pair{&package, "version"},
                                    std::pair{&product, "version"}}) {
        if (version || !*file) continue;
        std::optional<std::string> found = stringField(**file, key);
        if (found && looksLikeEditorVersion(*found)) version = found;
    }
    if (!version) {
        CommandRequest request{.command = binaryPath(), .arguments = {"--version"}, .timeout = kVersionTimeout,
                               .allowNonZeroExit = true};
        failureOf([&] {
            std::string first = trim(run(request, stop).standardOutput);
            first = trim(first.substr(0, first.find('\n')));
            if (looksLikeEditorVersion(first)) version = first;
        }, stop);
    }
    std::scoped_lock lock(stateMutex_);
    editorVersion_ = version;
    return version;
}

std::optional<std::string> IDEExtensionManager::send(HttpRequest request, Round& round, std::stop_token stop) {
    const double left = round.timeLeft();
    if (left <= 0) return std::nullopt;
    request.timeoutSeconds = left;
    const bool cutByBudget = round.lightweight && left < round.requestTimeout;
    const Logger log(editor_.logName + "Manager");
    try {
        HttpResponse response = network().send(request, stop);
        if (response.statusCode != 200) {
            log.debug(localized("log.ide.no_information", {request.url, std::to_string(response.statusCode)}));
            return std::nullopt;
        }
        return std::move(response.body);
    } catch (const CancellationError&) {
        throw;
    } catch (const NetworkError& error) {
        if (stop.stop_requested()) throw CancellationError();
        if (cutByBudget && error.kind() == NetworkError::Kind::Timeout) {
            round.budgetSpent.store(true);
        } else if (error.kind() == NetworkError::Kind::Timeout || error.kind() == NetworkError::Kind::ConnectionFailed ||
                   error.kind() == NetworkError::Kind::SslError) {
            round.unreachable.store(true);
        }
        log.debug(localized("log.ide.lookup_failed", {request.url, error.description() + " " + error.cause()}));
        return std::nullopt;
    }
}

std::optional<MarketplaceVersion> IDEExtensionManager::latestFor(const InstalledExtension& extension,
                                                                 const VersionFilter& filter, Round& round,
                                                                 std::stop_token stop,
                                                                 std::vector<PublishedRelease>* releases) {
    if (!ExtensionMarketplace::isIdentifier(extension.identifier)) return std::nullopt;
    if (editor_.marketplace != Service::OpenVsx) return galleryLatest(extension, filter, round, stop, releases);
    // Open VSX dates each version in its own document: only the one found is dated.
    std::optional<MarketplaceVersion> found = openVsxLatest(extension, filter, round, stop);
    if (found && releases && !found->isPreRelease) releases->push_back({found->version, found->published});
    return found;
}

std::vector<MarketplaceVersion> IDEExtensionManager::galleryVersions(const std::string& identifier, Round& round,
                                                                     std::stop_token stop) {
    HttpRequest request;
    request.url = Endpoints::url(editor_.marketplace, kGalleryQueryPath);
    request.method = HttpMethod::Post;
    request.body = ExtensionMarketplace::galleryQuery(identifier);
    const char* accept = editor_.marketplace == Service::CursorMarketplace ? kCursorGalleryAccept : kGalleryAccept;
    request.headers.set("Content-Type", accept);
    request.headers.set("Accept", accept);
    if (round.cursorClientVersion) request.headers.set(kCursorClientHeader, *round.cursorClientVersion);
    std::optional<std::string> body = send(std::move(request), round, stop);
    if (!body) return {};
    return ExtensionMarketplace::parseGalleryVersions(*body, identifier);
}

std::optional<Json> IDEExtensionManager::openVsxDocument(const std::string& identifier, const std::string& version,
                                                         Round& round, std::stop_token stop) {
    const std::size_t dot = identifier.find('.');
    std::string path = "/api/";
    path += identifier.substr(0, dot);
    path += "/";
    path += identifier.substr(dot + 1);
    if (!version.empty()) {
        path += "/";
        path += version;
    }
    HttpRequest request;
    request.url = Endpoints::url(Service::OpenVsx, path);
    request.headers.set("Accept", "application/json");
    std::optional<std::string> body = send(std::move(request), round, stop);
    return body ? parseJson(*body) : std::nullopt;
}

std::optional<MarketplaceVersion> IDEExtensionManager::galleryLatest(const InstalledExtension& extension,
                                                                     const VersionFilter& filter, Round& round,
                                                                     std::stop_token stop,
                                                                     std::vector<PublishedRelease>* releases) {
    const Logger log(editor_.logName + "Manager");
    std::optional<MarketplaceVersion> newest;
    // Every version comes in the one answer, each dated: the installable ones are kept.
    for (MarketplaceVersion& version : galleryVersions(extension.identifier, round, stop)) {
        std::optional<std::string> reason = ExtensionMarketplace::skipReason(version, filter);
        if (reason) {
            log.debug(localized("log.ide.version_skipped", {extension.identifier, version.version, *reason}));
            continue;
        }
        if (releases && !version.isPreRelease) releases->push_back({version.version, version.published});
        if (!newest) newest = std::move(version);
        if (!releases) break;
    }
    return newest;
}

std::optional<MarketplaceVersion> IDEExtensionManager::openVsxLatest(const InstalledExtension& extension,
                                                                     const VersionFilter& filter, Round& round,
                                                                     std::stop_token stop) {
    const Logger log(editor_.logName + "Manager");
    std::optional<Json> newest = openVsxDocument(extension.identifier, "", round, stop);
    if (!newest) return std::nullopt;
    std::optional<MarketplaceVersion> version = ExtensionMarketplace::parseOpenVsxVersion(*newest);
    if (version) {
        std::optional<std::string> reason = ExtensionMarketplace::skipReason(*version, filter);
        if (!reason) return version;
        log.debug(localized("log.ide.version_skipped", {extension.identifier, version->version, *reason}));
    }
    std::vector<std::string> older =
        ExtensionMarketplace::openVsxOlderVersions(*newest, version ? version->version : std::string());
    // Nothing older than what is installed can be an update.
    std::erase_if(older, [&](const std::string& v) {
        return compareVersions(v, extension.version) != VersionOrder::Descending;
    });
    if (older.size() > kOpenVsxWalkLimit) older.resize(kOpenVsxWalkLimit);
    for (const std::string& candidate : older) {
        std::optional<Json> document = openVsxDocument(extension.identifier, candidate, round, stop);
        if (!document) continue;
        std::optional<MarketplaceVersion> found = ExtensionMarketplace::parseOpenVsxVersion(*document);
        if (!found) continue;
        std::optional<std::string> reason = ExtensionMarketplace::skipReason(*found, filter);
        if (!reason) return found;
        log.debug(localized("log.ide.version_skipped", {extension.identifier, found->version, *reason}));
    }
    return std::nullopt;
}

void IDEExtensionManager::remember(const std::string& identifier, const MarketplaceVersion& version) {
    if (!version.vsixUrl) return;
    const std::string key = vsixKey(identifier, version.version);
    std::scoped_lock lock(stateMutex_);
    resolvedVSIXURLCache_[key] = *version.vsixUrl;
    resolvedVSIXSourceCache_[key] = ResolvedVSIXSource{*version.vsixUrl, version.version, editor_.marketplace};
}

std::optional<IDEExtensionManager::ResolvedVSIXSource> IDEExtensionManager::resolveVSIX(
    const std::string& identifier, const std::string& version, std::stop_token stop) {
    const std::string key = vsixKey(identifier, version);
    {
        std::scoped_lock lock(stateMutex_);
        if (auto found = resolvedVSIXSourceCache_.find(key); found != resolvedVSIXSourceCache_.end()) return found->second;
    }
    // Ask again, for that one version, whatever the filters said at check time.
    Round round;
    if (editor_.type == IDEType::Cursor) round.cursorClientVersion = cursorClientVersion();
    VersionFilter exact{.platform = ExtensionMarketplace::machinePlatform(), .installedIsPreRelease = true};
    std::optional<MarketplaceVersion> found;
    if (editor_.marketplace == Service::OpenVsx) {
        if (std::optional<Json> document = openVsxDocument(identifier, version, round, stop)) {
            found = ExtensionMarketplace::parseOpenVsxVersion(*document);
        }
    } else {
        for (MarketplaceVersion& candidate : galleryVersions(identifier, round, stop)) {
            if (candidate.version != version || !candidate.vsixUrl) continue;
            if (ExtensionMarketplace::skipReason(candidate, exact)) continue;
            found = std::move(candidate);
            break;
        }
    }
    if (!found || found->version != version || !found->vsixUrl || ExtensionMarketplace::skipReason(*found, exact)) {
        return std::nullopt;
    }
    remember(identifier, *found);
    return ResolvedVSIXSource{*found->vsixUrl, version, editor_.marketplace};
}

std::optional<std::string> IDEExtensionManager::install(const std::string& argument, std::stop_token stop) {
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"--install-extension", argument, "--force"};
    request.timeout = kInstallTimeout;
    request.allowNonZeroExit = true;
    ShellCommandResult result;
    try {
        result = run(request, stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        return excerpt(failureText(error), 600);
    }
    std::string output = result.standardOutput;
    output += "\n";
    output += result.standardError;
    if (result.exitCode == 0 && !ExtensionMarketplace::reportsFailure(output)) return std::nullopt;
    std::string shown = trim(ExtensionMarketplace::withoutDeprecationLines(output));
    if (shown.empty()) shown = "exit status " + std::to_string(result.exitCode);
    return excerpt(shown, 600);
}

std::optional<std::string> IDEExtensionManager::installFromVSIX(const std::string& identifier,
                                                                const std::string& version, std::stop_token stop) {
    std::optional<ResolvedVSIXSource> source = resolveVSIX(identifier, version, stop);
    if (!source) return std::string("no VSIX file of ") + identifier + " " + version + " for this machine";
    if (!startsWith(toLower(source->url), "https://") && !startsWith(toLower(source->url), "http://")) {
        return "not a download address: " + excerpt(source->url, 120);
    }
    std::error_code ignored;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path(ignored) / ("vantreel-vsix-" + Uuid::random().toString());
    std::filesystem::create_directories(folder, ignored);
    const std::string file = (folder / (toLower(identifier) + ".vsix")).string();
    std::optional<std::string> failure;
    try {
        HttpRequest request;
        request.url = source->url;
        request.timeoutSeconds = kDownloadTimeout;
        network().download(request, file, {}, stop);
        failure = install(file, stop);
    } catch (const CancellationError&) {
        std::filesystem::remove_all(folder, ignored);
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) {
            std::filesystem::remove_all(folder, ignored);
            throw CancellationError();
        }
        failure = error.what();
    }
    std::filesystem::remove_all(folder, ignored);
    return failure;
}

void IDEExtensionManager::update(const Package& package, std::stop_token stop) {
    const std::string& identifier = package.name;
    if (!ExtensionMarketplace::isIdentifier(identifier)) throw IDEExtensionError::invalidIdentifier(identifier);
    if (!discover(stop)) throw IDEExtensionError::cliNotFound(editor_.name, editor_.binaryName);
    const Logger log(editor_.logName + "Manager");
    std::optional<std::string> target = pinnedVersion(package);
    // Only a version the tool itself could have printed goes into the pinned argument.
    if (target && ExtensionMarketplace::parseExtensionList(identifier + "@" + *target).empty()) target.reset();
    // Cursor's tool installs what its own marketplace calls latest unless told the version.
    if (!target && editor_.type == IDEType::Cursor) throw IDEExtensionError::cursorVersionUnavailable(identifier);
    std::string argument = identifier;
    if (target) argument += "@" + *target;
    log.info(localized("log.ide.installing", {editor_.binaryName + " --install-extension " + argument + " --force"}));
    std::optional<std::string> failure = install(argument, stop);

    // The installed version of the extension now, nullopt when it is gone.
    const auto installedNow = [&]() -> std::optional<std::string> {
        std::vector<InstalledExtension> listed;
        if (auto listing = failureOf([&] { listed = readInstalled(stop); }, stop)) {
            throw IDEExtensionError::verificationFailed(excerpt(*listing, 300));
        }
        std::vector<Package> packages;
        std::optional<std::string> version;
        for (const InstalledExtension& extension : listed) {
            packages.push_back(makePackage(extension));
            if (equalsIgnoringCase(extension.identifier, identifier)) version = extension.version;
        }
        publishPackages(std::move(packages));
        return version;
    };
    const auto reached = [&](const std::optional<std::string>& now) {
        return now && target && compareVersions(*now, *target) != VersionOrder::Ascending;
    };

    bool fallBack = failure.has_value() && target.has_value();
    if (!failure && target) fallBack = !reached(installedNow());
    if (fallBack) {
        log.info(localized("log.ide.remote_not_installable", {identifier + "@" + *target}));
        std::optional<std::string> vsixFailure = installFromVSIX(identifier, *target, stop);
        if (vsixFailure) log.warning(localized("log.ide.vsix_failed", {identifier + "@" + *target, *vsixFailure}));
        if (vsixFailure && failure) {
            if (editor_.type == IDEType::Cursor) throw IDEExtensionError::cursorUpdateFailed(identifier, *target, *failure);
            throw IDEExtensionError::installFailed(editor_.name, identifier, *failure);
        }
    } else if (failure) {
        throw IDEExtensionError::installFailed(editor_.name, identifier, *failure);
    }

    const std::optional<std::string> now = installedNow();
    if (!now) {
        log.error(localized("log.ide.missing_after_update", {identifier, localized("error.ide.missing_after_update")}));
        throw IDEExtensionError::missing();
    }
    if (!target || reached(now)) {
        log.info(localized("log.ide.updated", {identifier, package.version, *now}));
        return;
    }
    log.error(localized("log.ide.target_not_reached", {identifier, *now, *target}));
    throw IDEExtensionError::targetNotReached(identifier, *now, *target);
}

}  // namespace vt
