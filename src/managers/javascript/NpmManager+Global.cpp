// The global packages without npm: its configuration kept by fingerprint, the global folder
// read directly, the registry asked in-process.
#include "managers/javascript/NpmManager.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Fingerprint.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/javascript/NpmLatest.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "model/VersionRules.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"
#include "system/RegistryRequest.hpp"

extern char** environ;

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("NpmManager");
    return instance;
}

// Keys whose presence means a request needs what only npm applies: a registry per scope,
// or credentials ("//host/:_authToken", "_auth", "_password", certificates per host).
bool needsNpmItself(const std::string& key) {
    return (startsWith(key, "@") && endsWith(key, ":registry")) || contains(key, "_auth") ||
           contains(key, "_password") || endsWith(key, ":certfile") || endsWith(key, ":keyfile");
}

// The registry's address of one package's document; a scope's slash is escaped, as npm sends it.
std::string documentUrl(const std::string& registry, const std::string& name) {
    std::string escaped = name;
    if (const std::size_t slash = escaped.find('/'); slash != std::string::npos) escaped.replace(slash, 1, "%2f");
    return registry + "/" + escaped;
}

// The abbreviated document npm itself asks for: every version's engines and deprecation,
// without the readmes.
constexpr const char* kDocumentAccept = "application/vnd.npm.install-v1+json; q=1.0, application/json; q=0.8, */*";
// The full document: only it holds the "time" map of publish dates, which the abbreviated
// one leaves out. Asked instead of the abbreviated one (never besides it) when a minimum
// release age applies.
constexpr const char* kFullDocumentAccept = "application/json";

}  // namespace

std::optional<NpmManager::Configuration> NpmManager::parseConfiguration(std::string_view text) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) return std::nullopt;
    Configuration config;
    config.registry = trim(stringField(*json, "registry").value_or(""));
    config.prefix = trim(stringField(*json, "prefix").value_or(""));
    const bool web = startsWith(config.registry, "https://") || startsWith(config.registry, "http://");
    if (!web || config.registry.find_first_of(" \t\n") != std::string::npos || !startsWith(config.prefix, "/")) {
        return std::nullopt;
    }
    while (endsWith(config.registry, "/")) config.registry.pop_back();
    while (config.prefix.size() > 1 && endsWith(config.prefix, "/")) config.prefix.pop_back();
    for (const auto& [key, value] : json->items()) {
        if (needsNpmItself(key) && !value.is_null()) config.needsNpm = true;
    }
    for (const char* key : {"userconfig", "globalconfig"}) {
        if (std::optional<std::string> file = stringField(*json, key); file && !file->empty()) config.files.push_back(*file);
    }
    config.npmVersion = stringField(*json, "npm-version").value_or("");
    config.nodeVersion = stringField(*json, "node-version").value_or("");
    return config;
}

std::vector<NpmManager::InstalledEntry> NpmManager::readGlobalFolder(const std::string& folder) {
    std::vector<InstalledEntry> entries;
    auto readOne = [&entries](const std::filesystem::path& path, std::string name) {
        std::optional<std::string> manifest = readFile((path / "package.json").string());
        std::optional<Json> json = manifest ? parseJson(*manifest) : std::nullopt;
        std::optional<std::string> version = json && json->is_object() ? stringField(*json, "version") : std::nullopt;
        if (!version || trim(*version).empty()) {
            logger().warning(localized("log.npm.global_no_version", {name}));
            return;
        }
        entries.push_back({std::move(name), trim(*version)});
    };
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (startsWith(name, ".")) continue;  // .bin, .package-lock.json
        if (!startsWith(name, "@")) {
            readOne(it->path(), name);
            continue;
        }
        std::error_code inner;
        for (std::filesystem::directory_iterator scoped(it->path(), inner), last; !inner && scoped != last;
             scoped.increment(inner)) {
            const std::string member = scoped->path().filename().string();
            if (!startsWith(member, ".")) readOne(scoped->path(), name + "/" + member);
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const InstalledEntry& a, const InstalledEntry& b) { return a.name < b.name; });
    return entries;
}

std::optional<std::string> NpmManager::cacheFile(std::string_view name) const {
    if (!options_.cacheFolder || options_.cacheFolder->empty()) return std::nullopt;
    return *options_.cacheFolder + "/" + std::string(name);
}

std::string NpmManager::configurationFingerprint(const std::string& npm, const std::vector<std::string>& files) const {
    std::vector<std::string> paths{npm};
    std::error_code error;
    // npm's own folder holds its built-in configuration ("npmrc" beside its package.json).
    const std::filesystem::path real = std::filesystem::canonical(npm, error);
    if (!error) {
        paths.push_back(real.string());
        paths.push_back((real.parent_path().parent_path() / "npmrc").string());
    }
    paths.insert(paths.end(), files.begin(), files.end());
    std::string text = fingerprintOf(paths);
    // The variables npm reads its settings from, and the PATH that decides which node runs it
    // (whose folder is the default prefix).
    std::vector<std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (startsWith(toLower(variable), "npm_config_") || startsWith(variable, "PATH=") ||
            startsWith(variable, "HOME=")) {
            variables.push_back(variable);
        }
    }
    std::sort(variables.begin(), variables.end());
    for (const std::string& variable : variables) text += variable + "\n";
    if (options_.searchPath) text += "search path " + *options_.searchPath + "\n";
    return text;
}

std::optional<NpmManager::Configuration> NpmManager::savedConfiguration(const std::string& npm) {
    std::optional<std::pair<std::string, Configuration>> known;
    {
        std::scoped_lock lock(npmMutex_);
        known = configuration_;
    }
    if (!known) {
        if (std::optional<std::string> file = cacheFile("npm_config.json")) {
            std::optional<std::string> text = readFile(*file);
            std::optional<Json> json = text ? parseJson(*text) : std::nullopt;
            if (json && json->is_object() && json->contains("configuration")) {
                std::optional<Configuration> saved = parseConfiguration((*json)["configuration"].dump());
                std::optional<std::string> fingerprint = stringField(*json, "fingerprint");
                if (saved && fingerprint) known = std::make_pair(*fingerprint, *saved);
            }
        }
    }
    if (!known || known->first != configurationFingerprint(npm, known->second.files)) return std::nullopt;
    std::scoped_lock lock(npmMutex_);
    configuration_ = known;
    return known->second;
}

namespace {

// The node a script's first line starts: "#!/usr/bin/env node", "#!/usr/bin/env -S node
// --flag" or "#!/opt/node/bin/node". A wrapper of any other kind (a shell script, a shim
// program) says nothing we can trust.
std::optional<std::string> nodeOfScript(std::string_view script, std::string_view searchPath,
                                        const FileSystemManager& files) {
    if (!startsWith(script, "#!")) return std::nullopt;
    std::vector<std::string> words;
    for (std::string_view word : split(script.substr(2, script.find('\n') - 2), ' ')) {
        std::string text = trim(word);
        if (!text.empty()) words.push_back(std::move(text));
    }
    std::size_t program = 0;
    if (!words.empty() && lastPathComponent(words[0]) == "env") {
        program = 1;
        while (program < words.size() && startsWith(words[program], "-")) ++program;
    }
    if (program >= words.size()) return std::nullopt;
    const std::string& node = words[program];
    const std::string_view name = lastPathComponent(node);
    if (name != "node" && name != "nodejs") return std::nullopt;
    if (node.find('/') != std::string::npos) {
        if (startsWith(node, "/") && files.isExecutableFile(node)) return node;
        return std::nullopt;
    }
    return ExecutableLocator::onSearchPath(node, ExecutableLocator::searchFolders(searchPath), files);
}

}  // namespace

std::optional<std::string> NpmManager::nodeVersion(const std::string& npm, std::stop_token stop) {
    CommandRequest request = npmRequest(npm, {"--version"}, kConfigTimeout);
    auto path = request.environment.find("PATH");
    const std::optional<std::string> searchPath = path != request.environment.end() ? path->second : options_.searchPath;
    if (!searchPath) return std::nullopt;
    std::string script;
    try {
        script = files_.readFile(npm);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::optional<std::string> node = nodeOfScript(script, *searchPath, files_);
    if (!node) return std::nullopt;
    request.command = *node;
    // One node start instead of npm's whole start-up: "v22.12.0".
    std::string version;
    try {
        version = trim(run(request, stop).standardOutput);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        if (stop.stop_requested()) throw CancellationError();
        return std::nullopt;
    }
    if (startsWith(version, "v")) version.erase(0, 1);
    if (version.empty() || !std::isdigit(static_cast<unsigned char>(version[0]))) return std::nullopt;
    return version;
}

std::optional<NpmManager::Configuration> NpmManager::configuration(const std::string& npm, std::stop_token stop) {
    if (std::optional<Configuration> saved = savedConfiguration(npm)) return saved;
    std::string output;
    try {
        output = runNpm(npm, {"config", "list", "--json"}, kConfigTimeout, stop).standardOutput;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_error", {"npm config list", error.what()}));
        return std::nullopt;
    }
    std::optional<Configuration> config = parseConfiguration(output);
    if (!config) {
        logger().warning(localized("log.npm.config_incomplete", {excerpt(output)}));
        return std::nullopt;
    }
    // The node npm runs on, whose version the engines of a package are checked against.
    try {
        if (std::optional<std::string> node = nodeVersion(npm, stop); node && !config->npmVersion.empty()) {
            config->nodeVersion = *node;
        } else if (std::optional<Json> versions =
                       parseJson(runNpm(npm, {"version", "--json"}, kConfigTimeout, stop).standardOutput);
                   versions && versions->is_object()) {
            config->nodeVersion = stringField(*versions, "node").value_or("");
            if (config->npmVersion.empty()) config->npmVersion = stringField(*versions, "npm").value_or("");
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_error", {"npm version", error.what()}));
    }
    const std::string fingerprint = configurationFingerprint(npm, config->files);
    if (std::optional<std::string> file = cacheFile("npm_config.json")) {
        Json saved = Json::object();
        saved["fingerprint"] = fingerprint;
        // Only what parseConfiguration reads again: npm's list may hold secrets.
        Json kept = Json::object();
        kept["registry"] = config->registry;
        kept["prefix"] = config->prefix;
        if (!config->files.empty()) kept["userconfig"] = config->files.front();
        if (config->files.size() > 1) kept["globalconfig"] = config->files[1];
        // Read back as a key only npm may act on: the saved form keeps the verdict, not the secret.
        if (config->needsNpm) kept["_auth"] = true;
        kept["node-version"] = config->nodeVersion;
        kept["npm-version"] = config->npmVersion;
        saved["configuration"] = std::move(kept);
        try {
            // The first scan of a new account may come here before anything made the folder.
            paths::ensureFolder(*options_.cacheFolder);
            writeFileAtomically(*file, saved.dump(), 0600);
        } catch (const std::exception& error) {
            logger().warning(localized("log.npm.config_not_written", {error.what()}));
        }
    }
    std::scoped_lock lock(npmMutex_);
    configuration_ = std::make_pair(fingerprint, *config);
    return config;
}

std::vector<std::string> NpmManager::listingInputs() {
    // Never npm itself here: the scan waits on this. Unknown until npm was asked once.
    const std::string npm = binaryPath();
    if (npm.empty() || !savedConfiguration(npm)) return {};
    std::optional<std::pair<std::string, Configuration>> known;
    {
        std::scoped_lock lock(npmMutex_);
        known = configuration_;
    }
    if (!known) return {};
    // The configuration's own fingerprint, as a path no file has: it changes with it.
    std::vector<std::string> paths{std::string("npm configuration ").append(fingerprintDigest(known->first))};
    const std::string root = known->second.prefix + "/lib/node_modules";
    paths.push_back(root);
    std::error_code error;
    for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (startsWith(name, ".")) continue;
        paths.push_back(it->path().string());
        if (startsWith(name, "@")) {
            std::error_code inner;
            for (std::filesystem::directory_iterator scoped(it->path(), inner), last; !inner && scoped != last;
                 scoped.increment(inner)) {
                paths.push_back((scoped->path() / "package.json").string());
            }
        } else {
            paths.push_back((it->path() / "package.json").string());
        }
    }
    return paths;
}

std::vector<Package> NpmManager::checkWithRegistry(const Configuration& config, std::stop_token stop) {
    // Read again rather than taken from the listing: a check may run alone (a scan that
    // reuses the inventory), and the folder costs a few reads.
    const std::string root = config.prefix + "/lib/node_modules";
    const std::vector<Package> installed = makePackages(readGlobalFolder(root), root);
    std::vector<std::string> names;
    for (const Package& package : installed) {
        if (isInstallableName(package.name) && RegistryRequest::isLookupName(package.name)) names.push_back(package.name);
    }
    std::map<std::string, std::string> installedVersions;
    for (const Package& package : installed) installedVersions[package.name] = package.version;
    // npm's own limit, from the files npm read its configuration from.
    const std::optional<ToolReleaseAge> toolLimit = toolages::npmLimit(config.files);
    const bool dated = wantsPublishTimes() || toolLimit.has_value();
    std::atomic<bool> refused{false};
    std::atomic<std::size_t> unreachable{0};
    auto lookup = [&](const std::string& name, const LatestVersionCache::Answer* kept,
                      std::stop_token token) -> std::optional<LatestVersionCache::Answer> {
        auto installedVersion = installedVersions.find(name);
        const std::string installedText = installedVersion == installedVersions.end() ? "" : installedVersion->second;
        HttpRequest request = RegistryRequest::get(documentUrl(config.registry, name));
        request.timeoutSeconds = kLookupTimeout;
        request.headers.set("Accept", dated ? kFullDocumentAccept : kDocumentAccept);
        // The kept answer was read for one installed version (its attestations, its releases):
        // only then may the registry's "not modified" stand for a new reading.
        const std::string basis = installedText + "\n";
        if (kept && kept->etag && startsWith(*kept->etag, basis)) request.ifNoneMatch = kept->etag->substr(basis.size());
        HttpResponse response;
        try {
            response = network().send(request, token);
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            if (token.stop_requested()) throw CancellationError();
            ++unreachable;
            logger().debug(localized("log.npm.registry_error", {name, error.what()}));
            return std::nullopt;
        }
        if (response.isNotModified() && request.ifNoneMatch) {
            LatestVersionCache::Answer same;
            same.unchanged = true;
            return same;
        }
        // A registry that wants credentials: npm has them, we do not.
        if (response.statusCode == 401 || response.statusCode == 403) refused = true;
        // 404: installed from a tarball or a folder; no registry knows it.
        if (response.statusCode != 200) return std::nullopt;
        std::optional<Json> document = npmlatest::parseDocument(response.body);
        std::optional<std::string> version =
            document ? npmlatest::pick(*document, config.nodeVersion, config.npmVersion) : std::nullopt;
        if (!version || trim(*version).empty()) return std::nullopt;
        LatestVersionCache::Answer answer{trim(*version), {}, {}};
        if (std::optional<std::string> etag = response.etag()) answer.etag = basis + *etag;
        if (dated) answer.releases = releasesNewerThan(installedText, publishtimes::fromNpmDocument(*document));
        answer.attested = npmlatest::attestedVersions(*document, installedText);
        return answer;
    };
    // What npm picks depends on the node and npm it runs on: answers for others do not count;
    // nor do answers without publish times when they are wanted.
    const std::string scope = config.registry + " node " + config.nodeVersion + " npm " + config.npmVersion +
                              (dated ? " dated" : "");
    std::map<std::string, LatestVersionCache::Answer> latest =
        latestCache_->latestRevalidated(names, lookup, stop, scope);
    if (refused) {
        logger().info(localized("log.npm.registry_credentials"));
        return checkWithNpm(binaryPath(), stop);
    }
    std::vector<Package> rows;
    for (const Package& package : installed) {
        auto found = latest.find(package.name);
        // npm outdated lists every package whose latest differs from what is installed.
        if (found == latest.end() || found->second.version == package.version) continue;
        Package row = package;
        row.latestVersion = found->second.version;
        row.releases = releasesNewerThan(package.version, found->second.releases);
        row.toolReleaseAge = toolLimit;
        row.attestedVersions = found->second.attested;
        rows.push_back(std::move(row));
    }
    logger().info(localized("log.manager.updates_checked", {"npm"}));
    if (unreachable > 0) {
        setErrorMessage(localized("npm.registry_unreachable",
                                  {std::to_string(unreachable.load()), std::to_string(names.size())}));
    } else {
        setErrorMessage(std::nullopt);
    }
    return rows;
}

}  // namespace vt
