#include "managers/javascript/NpmManager.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "managers/javascript/NpmError.hpp"
#include "model/VersionRules.hpp"
#include "managers/javascript/NpmLatest.hpp"
#include "support/Thrown.hpp"
#include "support/Corpus.hpp"
#include "system/Endpoints.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using testing::find;
using Response = testing::FakeCommandRunner::Response;

const std::string kList = "/usr/bin/npm list -g --depth=0 --json";
const std::string kOutdated = "/usr/bin/npm outdated -g --depth=0 --json";
const std::string kRoot = "/usr/bin/npm root -g";
const std::string kRegistry = "/usr/bin/npm config get registry";
const std::string kManifestUrl = "https://REGISTRY/is-number/7.0.0";

// One recorded npm output of the shared corpus.
std::string corpus(const std::string& name) { return testing::corpusFile("npm/" + name); }

// A fixture written for these tests, without its first line (what it was modelled on).
std::string fixture(const std::string& name) { return testing::fixture("npm", name); }

int exitCodeOf(const std::string& name) { return std::stoi(trim(corpus(name + ".exitcode"))); }

// The recorded run NAME (its stdout, stderr and exit status) as a canned answer.
Response recorded(const std::string& name) {
    return Response::output(corpus(name + ".stdout"), exitCodeOf(name), corpus(name + ".stderr"));
}

// npm at /usr/bin/npm over fakes, the registry npm reports being the recorded one.
struct NpmFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    int invalidations = 0;
    std::string lastCommandBeforeInvalidation;
    std::unique_ptr<NpmManager> manager;

    explicit NpmFixture(bool resolveGlobalRoot = true) {
        files.addExecutable("/usr/bin/npm");
        runner.on(kRegistry, Response::output("https://REGISTRY/\n"));
        auto invalidate = [this] {
            ++invalidations;
            lastCommandBeforeInvalidation = runner.commandLines().back();
        };
        manager = std::make_unique<NpmManager>(runner, files,
                                               NpmManager::Options{.network = &network, .invalidateListings = invalidate,
                                                                   .resolveGlobalRoot = resolveGlobalRoot, .cacheFolder = ""});
    }

    std::size_t installs() const {
        std::size_t count = 0;
        for (const auto& line : runner.commandLines()) count += startsWith(line, "/usr/bin/npm install") ? 1 : 0;
        return count;
    }
};

Package npmPackage(std::string name, std::string version, std::optional<std::string> latest = std::nullopt) {
    return Package{.name = std::move(name),
                   .version = std::move(version),
                   .type = PackageType::NpmGlobal,
                   .latestVersion = std::move(latest)};
}

// npm at /usr/bin/npm whose `config list` gives CONFIG: listed and checked in-process.
struct ConfiguredNpm {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    std::unique_ptr<NpmManager> manager;

    ConfiguredNpm(const Json& config, std::string cacheFolder) {
        files.addExecutable("/usr/bin/npm");
        runner.on("/usr/bin/npm config list --json", Response::output(config.dump()));
        manager = std::make_unique<NpmManager>(runner, files,
                                               NpmManager::Options{.network = &network, .cacheFolder = std::move(cacheFolder)});
    }
};

HttpResponse answer(int status, std::string body, std::string type = "application/json") {
    HttpResponse response{.statusCode = status, .body = std::move(body)};
    response.headers.set("Content-Type", std::move(type));
    return response;
}

template <typename Error, typename Body>
std::string messageOf(Body body) {
    std::optional<Error> error = testing::thrown<Error>(body);
    return error ? error->what() : "";
}

TEST(NpmManagerTest, AsksNpmViewOnlyWhenTheOutdatedEntryLacksALatestVersion) {
    NpmFixture f(false);
    f.runner.on(kList, Response::output(R"({"dependencies": {"a": {"version": "1.0.0"}, "b": {"version": "2.0.0"},
                                            "error": {"version": "0.1.0"}}})"));
    // "error" is a real package name; its entry must not be read as npm's error object.
    f.runner.on(kOutdated, Response::output(R"({"a": {"current": "1.0.0", "wanted": "1.0.0"},
                                                "b": {"current": "2.0.0"},
                                                "error": {"current": "0.1.0", "latest": "0.2.0"}})",
                                            1));
    f.runner.on("/usr/bin/npm view a version", Response::output("1.5.0\n"));
    f.runner.on("/usr/bin/npm view b version", Response::failure(1, "npm error code E404"));
    f.manager->listInstalled({});
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "a")->latestVersion, "1.5.0");
    EXPECT_EQ(find(outdated, "error")->latestVersion, "0.2.0");
    EXPECT_EQ(find(outdated, "b"), nullptr);
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
    EXPECT_FALSE(f.runner.ran("/usr/bin/npm view error version"));
    EXPECT_FALSE(f.runner.ran(kRoot));
}

TEST(NpmManagerTest, ReadsNpmsConfigurationAndEngineRangesAsNpmDoes) {
    auto config = NpmManager::parseConfiguration(
        R"({"registry": "https://REGISTRY/", "prefix": "/opt/node/", "userconfig": "/h/.npmrc",
            "globalconfig": "/opt/node/etc/npmrc", "fund": true})");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->registry, "https://REGISTRY");
    EXPECT_EQ(config->prefix, "/opt/node");
    EXPECT_FALSE(config->needsNpm);
    EXPECT_EQ(config->files, (std::vector<std::string>{"/h/.npmrc", "/opt/node/etc/npmrc"}));
    for (const char* key : {"@corp:registry", "//REGISTRY/:_authToken", "_auth", "//host/:_password"}) {
        Json json = {{"registry", "https://REGISTRY/"}, {"prefix", "/usr"}, {key, "(protected)"}};
        auto withSecret = NpmManager::parseConfiguration(json.dump());
        ASSERT_TRUE(withSecret) << key;
        EXPECT_TRUE(withSecret->needsNpm) << key;
    }
    for (const char* text : {R"({"prefix": "/usr"})", R"({"registry": "file:/x", "prefix": "/usr"})",
                             R"({"registry": "https://R/", "prefix": "relative"})", "npm error", "[]"}) {
        EXPECT_FALSE(NpmManager::parseConfiguration(text)) << text;
    }

    // Ranges as node-semver reads them, against the node and npm versions a check runs with.
    struct Case { const char* version; const char* range; bool satisfied; };
    for (const Case& c : std::vector<Case>{
             {"20.20.2", ">=18", true},          {"20.20.2", ">=22", false},
             {"20.20.2", "^20.17.0 || >=22.9.0", true}, {"20.16.0", "^20.17.0 || >=22.9.0", false},
             {"22.12.0", "^20.17.0 || >=22.9.0", true}, {"20.20.2", "^22.12 || >=24", false},
             {"20.20.2", "20.x", true},         {"21.0.0", "20.x", false},
             {"20.20.2", "~20.20.0", true},     {"20.21.0", "~20.20.0", false},
             {"0.2.5", "^0.2.3", true},         {"0.3.0", "^0.2.3", false},
             {"0.0.3", "^0.0.3", true},         {"0.0.4", "^0.0.3", false},
             {"20.20.2", ">= 14.17 < 21", true}, {"21.0.0", ">= 14.17 < 21", false},
             {"18.0.0", "16 - 18", true},       {"19.0.0", "16 - 18", false},
             {"v20.20.2", "*", true},           {"20.20.2", "", true},
             {"20.20.2", ">20.20", false},      {"20.21.0", ">20.20", true},
             {"20.20.2", "<=20", true},         {"21.0.0", "<=20", false},
             {"20.20.2", "not a range", false}, {"20.20.2", ">=x.y", false},
         }) {
        EXPECT_EQ(npmlatest::satisfies(c.version, c.range), c.satisfied) << c.version << " in " << c.range;
    }
    // The "latest" tag unless it cannot be used here; a pre-release never otherwise.
    Json document = Json::parse(R"({"dist-tags": {"latest": "3.0.0"}, "versions": {
        "2.0.0": {}, "2.5.0": {"deprecated": "use 3"}, "3.0.0": {"engines": {"node": ">=22"}}, "3.1.0-rc.1": {}}})");
    EXPECT_EQ(npmlatest::pick(document, "22.1.0", ""), "3.0.0");
    EXPECT_EQ(npmlatest::pick(document, "20.20.2", ""), "2.0.0");
    EXPECT_EQ(npmlatest::pick(Json::parse(R"({"versions": {}})"), "20.0.0", ""), std::nullopt);

    testing::TempDir root("vt-npm-root");
    root.write("corepack/package.json", R"({"name": "corepack", "version": "0.34.6"})");
    root.write("@scope/tool/package.json", R"({"name": "@scope/tool", "version": " 1.2.0 "})");
    root.write("broken/package.json", "{not json");
    root.write("noversion/package.json", R"({"name": "noversion"})");
    root.write(".bin/corepack", "");
    root.write(".package-lock.json", "{}");
    std::vector<NpmManager::InstalledEntry> entries = NpmManager::readGlobalFolder(root.path());
    EXPECT_EQ(entries, (std::vector<NpmManager::InstalledEntry>{{"@scope/tool", "1.2.0"}, {"corepack", "0.34.6"}}));
    EXPECT_TRUE(NpmManager::readGlobalFolder(root.file("missing")).empty());
}

// The configuration asked once and kept by fingerprint, the folder read directly, and the
// registry asked in-process: no npm started for the listing or the check.
TEST(NpmManagerTest, ListsAndChecksWithoutStartingNpm) {
    testing::TempDir home("vt-npm-home");
    const std::string prefix = home.makeFolder("prefix");
    home.write("prefix/lib/node_modules/a/package.json", R"({"version": "1.0.0"})");
    home.write("prefix/lib/node_modules/@s/b/package.json", R"({"version": "2.0.0"})");
    home.write("prefix/lib/node_modules/local/package.json", R"({"version": "0.1.0"})");
    const std::string userConfig = home.write(".npmrc", "prefix=" + prefix + "\n");
    // Not there yet, as on a new account's first scan.
    const std::string cache = home.file("cache/vantreel");
    const std::string configList = "/usr/bin/npm config list --json";
    const std::string versionCommand = "/opt/node/bin/node --version";
    FakeClock clock;
    auto make = [&](testing::FakeCommandRunner& runner, testing::RecordingFileSystem& files,
                    testing::MockNetworkClient& network) {
        // npm starts through the node its PATH finds first, which is not the one beside it.
        files.addExecutable("/usr/bin/npm", "#!/usr/bin/env -S node --no-warnings\nrequire('../lib/cli.js')(process)\n");
        files.addExecutable("/usr/bin/node");
        files.addExecutable("/opt/node/bin/node");
        Json list = {{"registry", "https://REGISTRY/"}, {"prefix", prefix}, {"userconfig", userConfig},
                     {"npm-version", "11.19.1"}};
        runner.on(configList, Response::output(list.dump()));
        runner.on(versionCommand, Response::output("v20.20.2\n"));
        runner.on("/usr/bin/node --version", Response::output("v24.1.0\n"));
        runner.on("/usr/bin/npm version --json", Response::output(R"({"npm": "11.19.1", "node": "24.1.0"})"));
        // 2.0.0 wants a newer node than the one npm runs on: npm calls 1.5.0 the latest.
        HttpResponse document = answer(200, R"({"name": "a", "dist-tags": {"latest": "2.0.0"},
            "versions": {"1.0.0": {}, "1.5.0": {"engines": {"node": ">=18"}}, "1.6.0": {"deprecated": "broken"},
                         "2.0.0": {"engines": {"node": "^22.12 || >=24"}}, "2.1.0-beta.1": {}}})");
        document.headers.set("ETag", "W/\"a1\"");
        network.setResponse("https://REGISTRY/a", document);
        network.setResponse("https://REGISTRY/@s%2fb", answer(200, R"({"dist-tags": {"latest": "2.0.0"},
            "versions": {"2.0.0": {"engines": {"npm": ">= 10"}}}})"));
        network.setResponse("https://REGISTRY/local", answer(404, R"({"error": "Not found"})"));
        return std::make_unique<NpmManager>(
            runner, files,
            NpmManager::Options{
                .network = &network, .searchPath = "/opt/node/bin:/usr/bin", .cacheFolder = cache, .clock = &clock});
    };
    {
        testing::FakeCommandRunner runner;
        testing::RecordingFileSystem files;
        testing::MockNetworkClient network;
        auto manager = make(runner, files, network);
        std::vector<Package> listed = manager->listInstalled({});
        ASSERT_EQ(listed.size(), 3u);
        EXPECT_EQ(listed[0].name, "@s/b");
        std::vector<Package> outdated = manager->checkOutdated({});
        ASSERT_EQ(outdated.size(), 1u);
        EXPECT_EQ(outdated[0].name, "a");
        EXPECT_EQ(outdated[0].latestVersion, "1.5.0");
        EXPECT_EQ(manager->errorMessage(), std::nullopt);
        EXPECT_EQ(runner.count(configList), 1u);
        for (const std::string& line : runner.commandLines()) {
            EXPECT_TRUE(line == configList || line == versionCommand) << line;
        }
        // npm's own document, the abbreviated one.
        ASSERT_FALSE(network.sentRequests().empty());
        EXPECT_NE(network.sentRequests().front().headers.get("Accept").value_or("").find("vnd.npm.install-v1+json"),
                  std::string::npos);
        // Asked again within the time limit: the registry is not, for what it answered.
        manager->checkOutdated({});
        EXPECT_EQ(network.fetchCount("https://REGISTRY/a"), 1u);
        EXPECT_EQ(network.fetchCount("https://REGISTRY/@s%2fb"), 1u);
        // Past it, the registry is asked whether the document changed; its 304 keeps the answer.
        clock.advance(std::chrono::minutes(31));
        network.setResponse("https://REGISTRY/a", answer(304, ""));
        outdated = manager->checkOutdated({});
        ASSERT_EQ(outdated.size(), 1u);
        EXPECT_EQ(outdated[0].latestVersion, "1.5.0");
        const std::vector<HttpRequest> sent = network.sentRequests();
        const auto revalidation = std::find_if(sent.rbegin(), sent.rend(), [](const HttpRequest& request) {
            return request.url == "https://REGISTRY/a";
        });
        ASSERT_NE(revalidation, sent.rend());
        EXPECT_EQ(revalidation->ifNoneMatch, "W/\"a1\"");
    }
    {
        // Another run: the saved configuration serves while nothing it was read from changed.
        testing::FakeCommandRunner runner;
        testing::RecordingFileSystem files;
        testing::MockNetworkClient network;
        auto manager = make(runner, files, network);
        EXPECT_EQ(manager->listInstalled({}).size(), 3u);
        EXPECT_EQ(runner.count(configList), 0u);
        // The user's .npmrc changes (size, time): npm is asked again.
        home.write(".npmrc", "prefix=" + prefix + "\nfund=false\n");
        EXPECT_EQ(manager->listInstalled({}).size(), 3u);
        EXPECT_EQ(runner.count(configList), 1u);
    }
}

// The registry's attestations as it adds them to a version's "dist" when it was published
// with provenance.
Json attested(const std::string& name, const std::string& version) {
    return {{"integrity", "sha512-AAAA"},
            {"tarball", "https://REGISTRY/" + name + "/-/" + name + "-" + version + ".tgz"},
            {"attestations",
             {{"url", "https://REGISTRY/-/npm/v1/attestations/" + name + "@" + version},
              {"provenance", {{"predicateType", "https://slsa.dev/provenance/v1"}}}}}};
}

TEST(NpmManagerTest, TheVersionsCarryingAttestationsTravelWithTheRowAndTheSavedAnswers) {
    Json document = {{"name", "a"}, {"dist-tags", {{"latest", "2.0.0"}}}, {"versions", Json::object()}};
    document["versions"]["0.9.0"] = {{"dist", attested("a", "0.9.0")}};
    document["versions"]["1.0.0"] = {{"dist", attested("a", "1.0.0")}};
    document["versions"]["1.5.0"] = {{"dist", {{"integrity", "sha512-BBBB"}, {"attestations", "yes"}}}};
    document["versions"]["2.0.0"] = {{"dist", {{"integrity", "sha512-CCCC"}}}};
    // Only the installed version and newer ones: the older ones never matter again.
    EXPECT_EQ(npmlatest::attestedVersions(document, "1.0.0"), std::vector<std::string>{"1.0.0"});
    EXPECT_EQ(npmlatest::attestedVersions(document, "").size(), 2u);
    EXPECT_TRUE(npmlatest::attestedVersions(Json::array({1}), "1.0.0").empty());
    EXPECT_TRUE(npmlatest::attestedVersions(Json{{"versions", "none"}}, "1.0.0").empty());
    // Read from the registry's text, a version keeps its attestations, not its tarball.
    std::optional<Json> read = npmlatest::parseDocument(document.dump());
    ASSERT_TRUE(read);
    EXPECT_EQ(npmlatest::attestedVersions(*read, ""), npmlatest::attestedVersions(document, ""));
    EXPECT_EQ(read->dump().find("tarball"), std::string::npos);
    EXPECT_EQ(npmlatest::parseDocument(R"({"versions": )"), std::nullopt);

    testing::TempDir home("vt-npm-provenance");
    const std::string prefix = home.makeFolder("prefix");
    home.write("prefix/lib/node_modules/a/package.json", R"({"version": "1.0.0"})");
    const std::string cache = home.makeFolder("cache");
    auto check = [&](bool registryAnswers) {
        ConfiguredNpm npm({{"registry", "https://REGISTRY/"}, {"prefix", prefix}}, cache);
        npm.runner.on("/usr/bin/npm version --json", Response::output(R"({"npm": "11.19.1", "node": "20.20.2"})"));
        if (registryAnswers) npm.network.setResponse("https://REGISTRY/a", answer(200, document.dump()));
        std::vector<Package> outdated = npm.manager->checkOutdated({});
        EXPECT_EQ(npm.network.fetchCount("https://REGISTRY/a"), registryAnswers ? 1u : 0u);
        return outdated;
    };
    std::vector<Package> outdated = check(true);
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "2.0.0");
    EXPECT_EQ(outdated[0].attestedVersions, std::vector<std::string>{"1.0.0"});
    EXPECT_TRUE(provenanceLost(outdated[0]));
    // Another run within the time limit answers from the saved answers, attestations included.
    outdated = check(false);
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].attestedVersions, std::vector<std::string>{"1.0.0"});
}

TEST(NpmManagerTest, CredentialsOrScopedRegistriesLeaveTheCheckToNpm) {
    for (bool refusedByRegistry : {false, true}) {
        testing::TempDir home("vt-npm-home");
        const std::string prefix = home.makeFolder("prefix");
        home.write("prefix/lib/node_modules/a/package.json", R"({"version": "1.0.0"})");
        Json list = {{"registry", "https://REGISTRY/"}, {"prefix", prefix}};
        if (!refusedByRegistry) list["@corp:registry"] = "https://CORP/";
        ConfiguredNpm npm(list, "");
        npm.runner.on(kOutdated, Response::output(R"({"a": {"current": "1.0.0", "latest": "3.0.0"}})", 1));
        npm.network.setResponse("https://REGISTRY/a", answer(401, R"({"error": "auth"})"));
        npm.manager->listInstalled({});
        std::vector<Package> outdated = npm.manager->checkOutdated({});
        ASSERT_EQ(outdated.size(), 1u) << refusedByRegistry;
        EXPECT_EQ(outdated[0].latestVersion, "3.0.0");
        EXPECT_TRUE(npm.runner.ran(kOutdated));
        EXPECT_EQ(npm.network.fetchedURLs().size(), refusedByRegistry ? 1u : 0u);
    }
}

TEST(NpmManagerTest, RunsNpmWithItsOwnFolderFirstOnThePath) {
    // A node installed beside npm (nvm) is only found that way; a folder already listed stays put.
    for (const std::string npm : {"/home/u/.nvm/versions/node/v20/bin/npm", "/usr/bin/npm"}) {
        testing::ScopedEnvironment userPath("PATH", npm.substr(0, npm.rfind('/')).c_str());
        testing::FakeCommandRunner runner;
        testing::RecordingFileSystem files;
        files.addExecutable(npm);
        runner.on(npm + " list -g --depth=0 --json", Response::output(R"({"dependencies": {}})"));
        NpmManager manager(runner, files, NpmManager::Options{.resolveGlobalRoot = false, .searchPath = "/usr/bin:/bin", .cacheFolder = ""});
        manager.listInstalled({});
        const CommandRequest listing = runner.history().back();
        ASSERT_EQ(listing.command, npm);
        auto path = listing.environment.find("PATH");
        if (npm == "/usr/bin/npm") {
            EXPECT_EQ(path, listing.environment.end());
        } else {
            ASSERT_NE(path, listing.environment.end());
            EXPECT_EQ(path->second, "/home/u/.nvm/versions/node/v20/bin:/usr/bin:/bin");
        }
    }
}

TEST(NpmManagerTest, BadOutputsArePublishedAsErrorsAndNeverThrown) {
    const std::string e404 = corpus("view-nonexistent-json.stdout");
    struct Case {
        std::string what;
        Response list;
        Response outdated;
        std::optional<std::string> listError;     // part of the published listing error
        std::optional<std::string> outdatedError;  // part of the published outdated error
    };
    const std::vector<Case> cases = {
        {"an npm error object", Response::output(e404, 1), Response::output(e404, 1), "E404", "E404"},
        {"a registry answering 500", Response::output(R"({"dependencies": {"a": {"version": "1.0.0"}}})"),
         Response::output(fixture("outdated-registry-500.stdout"), 1), std::nullopt,
         "npm outdated failed: E500: 500 Internal Server Error"},
        {"a registry answering HTML", Response::output(R"({"dependencies": {}})"),
         Response::output(fixture("outdated-registry-html.stdout"), 1), std::nullopt, "invalid json response body"},
        {"text that is not JSON", Response::output("npm WARN config global `--global` is deprecated\n"),
         Response::output("<html><body>Proxy login</body></html>", 1), "did not print a JSON object",
         "did not print a JSON object"},
        {"JSON of unexpected types", Response::output(R"({"dependencies": ["a", "b"]})"), Response::output("[1, 2]"),
         "\"dependencies\" is not an object", "did not print a JSON object"},
        {"nothing printed, status 1", Response::failure(1, "npm error Segmentation fault"),
         Response::failure(1, "npm error Segmentation fault"), "Segmentation fault", "Segmentation fault"},
        {"a time limit", Response::throwing(CommandError::timeout()), Response::throwing(CommandError::timeout()),
         "Command timed out", "Command timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NpmFixture f(false);
        f.runner.on(kList, c.list);
        f.runner.on(kOutdated, c.outdated);
        std::vector<Package> installed;
        ASSERT_NO_THROW(installed = f.manager->listInstalled({}));
        if (c.listError) {
            EXPECT_TRUE(installed.empty());
            EXPECT_TRUE(contains(f.manager->errorMessage().value_or(""), *c.listError)) << *c.listError;
        } else {
            EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
        }
        std::vector<Package> outdated;
        ASSERT_NO_THROW(outdated = f.manager->checkOutdated({}));
        EXPECT_TRUE(outdated.empty());
        const std::string message = f.manager->errorMessage().value_or("");
        EXPECT_TRUE(startsWith(message, "npm outdated failed: ")) << message;
        EXPECT_TRUE(contains(message, *c.outdatedError)) << message;
    }

    // Entries without a usable version are skipped, the rest kept.
    auto parsed = NpmManager::parseInstalled(R"({"dependencies": {"ok": {"version": "1.0.0"}, "broken": {},
                                                 "odd": {"version": 5}, "list": []}})");
    EXPECT_EQ(parsed.error, std::nullopt);
    EXPECT_EQ(parsed.entries, (std::vector<NpmManager::InstalledEntry>{{"ok", "1.0.0"}}));
    EXPECT_EQ(parsed.warnings.size(), 3u);

    // A prefix nothing was ever installed into has no lib folder yet: nothing installed, no
    // error. Another missing folder is an error.
    for (const std::string root : {"/home/user/.npm-global/lib/node_modules", "/home/user/other/lib/node_modules"}) {
        SCOPED_TRACE(root);
        const bool expected = startsWith(root, "/home/user/.npm-global/");
        NpmFixture fresh(false);
        fresh.runner.on(kList, Response::output(fixture("ls-g-json-missing-prefix.stdout"), 254));
        fresh.runner.on(kOutdated, Response::output(fixture("ls-g-json-missing-prefix.stdout"), 254));
        fresh.runner.on(kRoot, Response::output(root + "\n"));
        EXPECT_TRUE(fresh.manager->listInstalled({}).empty());
        EXPECT_EQ(fresh.manager->errorMessage().has_value(), !expected);
        EXPECT_TRUE(fresh.manager->checkOutdated({}).empty());
        EXPECT_EQ(fresh.manager->errorMessage().has_value(), !expected);
    }

    // No npm at all.
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    NpmManager missing(runner, files, NpmManager::Options{.resolveGlobalRoot = false, .cacheFolder = ""});
    EXPECT_TRUE(missing.listInstalled({}).empty());
    EXPECT_EQ(missing.errorMessage(), "NPM not found");
    EXPECT_EQ(messageOf<NpmError>([&] { missing.update(npmPackage("a", "1.0.0"), {}); }), "NPM not found");

    // A stop request still propagates.
    NpmFixture stopped(false);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(stopped.manager->listInstalled(stop.get_token()), CancellationError);
}

TEST(NpmManagerTest, UpdateInstallsTheVersionShownAndVerifiesIt) {
    NpmFixture f;
    f.network.setResponse(kManifestUrl, answer(200, R"({"name": "is-number", "version": "7.0.0",
        "dependencies": {}, "devDependencies": {"tool": "workspace:*"}})"));
    f.runner.on("/usr/bin/npm install -g is-number@7.0.0", recorded("uptodate-install-g"));
    f.runner.on(kList, recorded("uptodate-ls-g-depth0-json"));
    LogCapture log;

    f.manager->update(npmPackage("is-number", "6.0.0", "7.0.0"), {});
    EXPECT_EQ(f.runner.commandLines(), (std::vector<std::string>{kRegistry,
                                                                 "/usr/bin/npm install -g is-number@7.0.0", kList}));
    EXPECT_TRUE(f.runner.history()[1].timeout.has_value());
    EXPECT_GE(f.invalidations, 1);
    ASSERT_EQ(f.network.sentRequests().size(), 1u);
    const HttpRequest request = f.network.sentRequests()[0];
    EXPECT_EQ(request.url, kManifestUrl);
    EXPECT_EQ(request.headers.get("Accept"), "application/json");
    EXPECT_TRUE(log.contains("npm: installed version of is-number after the update"));

    // The registry is asked once per scan: again only after a new listing.
    f.manager->update(npmPackage("is-number", "6.0.0", "7.0.0"), {});
    EXPECT_EQ(f.runner.count(kRegistry), 1u);
    f.manager->listInstalled({});
    f.manager->update(npmPackage("is-number", "6.0.0", "7.0.0"), {});
    EXPECT_EQ(f.runner.count(kRegistry), 2u);

    // A newer version than the one shown, installed meanwhile by other means, is no failure.
    NpmFixture newer;
    newer.runner.on("/usr/bin/npm install -g is-number@7.0.0", Response::output("changed 1 package\n"));
    newer.runner.on(kList, Response::output(R"({"dependencies": {"is-number": {"version": "7.1.0"}}})"));
    EXPECT_NO_THROW(newer.manager->update(npmPackage("is-number", "6.0.0", "7.0.0"), {}));

    // Without a version to give, npm installs what it calls latest, and the plan says so.
    NpmFixture unknown;
    unknown.runner.on("/usr/bin/npm install -g is-number@latest", Response::output("changed 1 package\n"));
    unknown.runner.on(kList, Response::output(R"({"dependencies": {"is-number": {"version": "7.1.0"}}})"));
    const Package withoutLatest = npmPackage("is-number", "6.0.0", std::string(kUpdateAvailableSentinel));
    EXPECT_EQ(unknown.manager->pinnedVersion(withoutLatest), std::nullopt);
    EXPECT_NO_THROW(unknown.manager->update(withoutLatest, {}));
    EXPECT_EQ(unknown.installs(), 1u);
    EXPECT_EQ(unknown.network.fetchedURLs(), std::vector<std::string>{"https://REGISTRY/is-number/latest"});
}

TEST(NpmManagerTest, WorkspaceDependencyIsRefusedBeforeAnyInstall) {
    NpmFixture f;
    f.network.setResponse("https://REGISTRY/@scope/cli/3.0.0",
                          answer(200, R"({"name": "@scope/cli", "version": "3.0.0",
                                          "dependencies": {"@scope/core": "workspace:*", "chalk": "^5.0.0"},
                                          "peerDependencies": {"@scope/peer": "workspace:^"},
                                          "devDependencies": {"@scope/test": "workspace:*"}})"));
    const auto refused = testing::thrown<PackageManualUpdateRequiredError>(
        [&] { f.manager->update(npmPackage("@scope/cli", "2.0.0", "3.0.0"), {}); });
    const std::string text = refused.value().what();
    EXPECT_TRUE(startsWith(text, "The npm package @scope/cli cannot be updated automatically: ")) << text;
    EXPECT_TRUE(contains(text, "\nBlocking dependencies found: @scope/core, @scope/peer\n")) << text;
    EXPECT_TRUE(contains(text, "\nCommand tried: npm install -g @scope/cli@3.0.0\n")) << text;
    EXPECT_EQ(refused->command(), "npm install -g @scope/cli@3.0.0");
    EXPECT_EQ(refused->packageName(), "@scope/cli");
    EXPECT_EQ(f.installs(), 0u);

    // Without the manifest, npm's own unsupported-protocol failure gets the same refusal.
    NpmFixture late;
    late.network.setError("https://REGISTRY/@scope/cli/3.0.0", NetworkError::connectionFailed());
    late.runner.on("/usr/bin/npm install -g @scope/cli@3.0.0",
                   Response::failure(1, "npm error code EUNSUPPORTEDPROTOCOL\n"
                                        "npm error Unsupported URL Type \"workspace:\": workspace:*\n"));
    std::string message = messageOf<PackageManualUpdateRequiredError>(
        [&] { late.manager->update(npmPackage("@scope/cli", "2.0.0", "3.0.0"), {}); });
    EXPECT_TRUE(startsWith(message, "The npm package @scope/cli cannot be updated automatically: "));
    EXPECT_TRUE(contains(message, "\nBlocking dependencies found: workspace:*\n")) << message;
    EXPECT_GE(late.invalidations, 1);

    // Names npm would read as an option or a path are never run.
    for (const std::string name : {"-g", "../evil", "a b", "x@1.0.0", "@scope/", ""}) {
        NpmFixture guarded;
        EXPECT_THROW(guarded.manager->update(npmPackage(name, "1.0.0"), {}), NpmError) << name;
        EXPECT_EQ(guarded.installs(), 0u);
        EXPECT_TRUE(guarded.network.sentRequests().empty());
    }
}

TEST(NpmManagerTest, FailedManifestFetchOnlyLogsAndTheUpdateGoesOn) {
    struct Case { std::string what; std::function<void(NpmFixture&)> arrange; };
    const std::vector<Case> cases = {
        {"a transport failure", [](NpmFixture& f) { f.network.setError(kManifestUrl, NetworkError::timeout()); }},
        {"a registry answering 500", [](NpmFixture& f) { f.network.setResponse(kManifestUrl, answer(500, "oops")); }},
        {"a registry answering HTML",
         [](NpmFixture& f) {
             f.network.setResponse(kManifestUrl, answer(200, "<html>sign in</html>", "text/html"));
         }},
        {"npm knowing no registry",
         [](NpmFixture& f) { f.runner.on(kRegistry, Response::output("undefined\n")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NpmFixture f;
        c.arrange(f);
        f.runner.on("/usr/bin/npm install -g is-number@7.0.0", Response::output("changed 1 package in 1s\n"));
        f.runner.on(kList, Response::output(R"({"dependencies": {"is-number": {"version": "7.0.0"}}})"));
        LogCapture log;
        EXPECT_NO_THROW(f.manager->update(npmPackage("is-number", "6.0.0", "7.0.0"), {}));
        EXPECT_TRUE(log.contains("Failed to pre-validate the npm manifest of is-number"));
        EXPECT_EQ(f.installs(), 1u);
        if (c.what == "npm knowing no registry") {
            // No registry is guessed: none is asked, and the log says why.
            EXPECT_TRUE(f.network.fetchedURLs().empty());
        }
    }
}

TEST(NpmManagerTest, FailedUpdatesCarryTheirOwnTexts) {
    const Package package = npmPackage("is-number", "6.0.0", "7.0.0");
    const std::string install = "/usr/bin/npm install -g is-number@7.0.0";
    auto arranged = [&](Response installAnswer, std::optional<Response> listAnswer = std::nullopt) {
        auto f = std::make_unique<NpmFixture>();
        f->network.setResponse(kManifestUrl, answer(200, R"({"name": "is-number", "version": "7.0.0"})"));
        f->runner.on(install, std::move(installAnswer));
        if (listAnswer) f->runner.on(kList, *listAnswer);
        return f;
    };

    auto timedOut = arranged(Response::throwing(CommandError::timeout()));
    const std::string late = messageOf<NpmError>([&] { timedOut->manager->update(package, {}); });
    EXPECT_TRUE(startsWith(late, "The npm update of is-number went past the 600 seconds allowed.\n")) << late;
    EXPECT_TRUE(contains(late, "\nCommand tried: npm install -g is-number@7.0.0\n")) << late;
    EXPECT_GE(timedOut->invalidations, 1);

    auto native = arranged(Response::failure(1, fixture("install-postinstall-native.stderr")));
    const std::string nativeMissing = messageOf<NpmError>([&] { native->manager->update(package, {}); });
    EXPECT_TRUE(contains(nativeMissing, "The npm package is-number cannot be updated automatically")) << nativeMissing;
    EXPECT_TRUE(contains(nativeMissing, "the native package @tool/cli-darwin-arm64")) << nativeMissing;
    EXPECT_TRUE(contains(nativeMissing, "\nCommand tried: npm install -g is-number@7.0.0\n")) << nativeMissing;

    // npm's JSON error object supplies the message when there is one.
    auto notFound =
        arranged(Response::output(corpus("view-nonexistent-json.stdout"), 1, corpus("view-nonexistent-json.stderr")));
    std::string message = messageOf<CommandError>([&] { notFound->manager->update(package, {}); });
    EXPECT_TRUE(startsWith(message, "Command failed with exit code 1: E404: Not Found - GET ")) << message;
    EXPECT_FALSE(contains(message, "A complete log of this run")) << message;

    auto missing = arranged(Response::output("up to date in 1s\n"), Response::output(R"({"dependencies": {}})"));
    const std::string absent = messageOf<NpmError>([&] { missing->manager->update(package, {}); });
    EXPECT_TRUE(startsWith(absent, "npm list -g did not find the package after the installation.\nPackage: is-number\n"
                                   "Version installed after the command: unknown\nExpected version: 7.0.0\n"
                                   "Command tried: npm install -g is-number@7.0.0\n"))
        << absent;

    LogCapture log;
    auto stale = arranged(Response::output("up to date in 1s\n"),
                          Response::output(R"({"dependencies": {"is-number": {"version": "6.0.0"}}})"));
    const std::string older = messageOf<NpmError>([&] { stale->manager->update(package, {}); });
    EXPECT_TRUE(startsWith(older, "npm finished without installing the target version.\nPackage: is-number\n"
                                  "Version installed after the command: 6.0.0\n"))
        << older;
    EXPECT_TRUE(log.contains("npm: installed version of is-number after the update"));

    // The verification reads npm afresh: the listing cache was dropped after the install.
    NpmFixture cached;
    cached.runner.onSequence(kList, {Response::output(R"({"dependencies": {"is-number": {"version": "6.0.0"}}})"),
                                     Response::output(R"({"dependencies": {"is-number": {"version": "7.0.0"}}})")});
    cached.runner.on(install, Response::output("changed 1 package\n"));
    cached.manager->listInstalled({});
    EXPECT_NO_THROW(cached.manager->update(package, {}));
    EXPECT_EQ(cached.invalidations, 1);
    EXPECT_EQ(cached.lastCommandBeforeInvalidation, install);
    EXPECT_EQ(cached.runner.commandLines().back(), kList);
}

}  // namespace
}  // namespace vt
