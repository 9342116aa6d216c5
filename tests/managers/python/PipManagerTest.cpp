#include "managers/python/PipManager.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>

#include <gtest/gtest.h>

#include "PipTestSupport.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "managers/python/PipError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using piptest::corpus;
using piptest::fixture;
using piptest::kPyenv;
using piptest::kSystem;
using Environment = PipManager::Environment;
using Response = testing::FakeCommandRunner::Response;

std::string listCommand(const std::string& interpreter) {
    return interpreter + " -m pip list --format=json";
}
std::string outdatedCommand(const std::string& interpreter) {
    return interpreter + " -m pip list --outdated --format=json";
}

struct PipFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::TempDir folder{"vt-pip"};
    FakeClock clock;
    std::vector<Environment> environments = {piptest::pyenvEnvironment(), piptest::systemEnvironment()};
    std::unique_ptr<PipManager> manager;

    // A local wheel folder in pip's configuration: its outdated check is pip's own, whose
    // answers these tests give.
    PipFixture() {
        files.addFile(paths::home() + "/.config/pip/pip.conf", "[global]\nfind-links = /srv/wheels\n");
        make();
    }
    void make() {
        manager = std::make_unique<PipManager>(
            runner, files, PipManager::Options{.environments = [this] { return environments; }, .clock = &clock});
    }
    std::optional<CommandRequest> lastRequest(const std::string& commandLine) const {
        std::optional<CommandRequest> found;
        for (const CommandRequest& request : runner.history()) {
            if (testing::FakeCommandRunner::commandLine(request) == commandLine) found = request;
        }
        return found;
    }
};

std::size_t countNamed(const std::vector<Package>& packages, const std::string& name) {
    return static_cast<std::size_t>(std::count_if(packages.begin(), packages.end(), [&](const Package& p) {
        return PipManager::normalizedName(p.name) == PipManager::normalizedName(name);
    }));
}

TEST(PipManagerTest, OnePackageInTwoEnvironmentsIsReportedOnceFromTheHigherPriorityOne) {
    const std::string pyenvList = corpus("pip-list-json.stdout");
    const std::string systemList = corpus("sys-pip-list-json.stdout");
    PipFixture f;
    // A third environment, last in priority, spelling names as other tools do.
    const std::string other = "/opt/other/bin/python3";
    Environment third = piptest::systemEnvironment();
    third.interpreter = other;
    third.isExternallyManaged = false;
    f.environments.push_back(third);
    f.runner.on(listCommand(kPyenv), Response::output(pyenvList));
    f.runner.on(listCommand(kSystem), Response::output(systemList));
    f.runner.on(listCommand(other), Response::output(R"([{"name": "pyyaml", "version": "5.1"},
        {"name": "LAZR_restfulclient", "version": "0.1"}, {"name": "Six", "version": "1.0"},
        {"name": "zope.interface", "version": "6.0"}])"));

    std::vector<Package> packages = f.manager->listInstalled({});

    // 94 + 27 + 4 listed; 9 names of Debian's are the pyenv's too, 3 of the third's.
    EXPECT_EQ(packages.size(), 94u + 27u + 4u - 9u - 3u);
    for (const char* name : {"blinker", "cryptography", "pip", "Pygments", "pyparsing", "PyYAML", "setuptools", "six",
                             "xmltodict", "lazr.restfulclient"}) {
        EXPECT_EQ(countNamed(packages, name), 1u) << name;
    }
    const Package* blinker = testing::find(packages, "blinker");
    ASSERT_NE(blinker, nullptr);
    EXPECT_EQ(blinker->version, "1.9.0");
    EXPECT_EQ(blinker->sourceIdentifier, kPyenv);
    EXPECT_EQ(blinker->type, PackageType::PipPackage);
    const Package* lazr = testing::find(packages, "lazr.restfulclient");
    ASSERT_NE(lazr, nullptr);
    EXPECT_EQ(lazr->sourceIdentifier, kSystem);
    const Package* zope = testing::find(packages, "zope.interface");
    ASSERT_NE(zope, nullptr);
    EXPECT_EQ(zope->sourceIdentifier, other);
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);

    // An update a lower-priority environment offers for a name shown from a higher one is
    // not shown either: its row would be a second one.
    f.runner.on(outdatedCommand(kPyenv),
                Response::output(R"([{"name": "six", "version": "1.17.0", "latest_version": "1.17.0"}])"));
    f.runner.on(outdatedCommand(kSystem),
                Response::output(R"([{"name": "six", "version": "1.16.0", "latest_version": "1.17.0"},
        {"name": "python-apt", "version": "2.6.0", "latest_version": "2.9.0"}])"));
    f.runner.on(outdatedCommand(other),
                Response::output(R"([{"name": "zope.interface", "version": "6.0", "latest_version": "7.1"}])"));
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 3u);
    EXPECT_EQ(countNamed(outdated, "six"), 1u);
    EXPECT_EQ(testing::find(outdated, "six")->sourceIdentifier, kPyenv);
    EXPECT_EQ(testing::find(outdated, "python-apt")->latestVersion, "2.9.0");
    EXPECT_EQ(testing::find(outdated, "zope.interface")->sourceIdentifier, other);
}

// The listing reads the site folders as pip would list them, without starting Python: the
// user's own folder first on sys.path, egg-info in both forms, a distribution without metadata
// left out. Eggs only pip can list, or no pip in sight, and pip lists the environment itself.
TEST(PipManagerTest, SiteFoldersAreReadAsPipListsThemAndPipListsWhatOnlyItCan) {
    testing::TempDir root{"vt-pip-sites"};
    const std::string systemSite = "usr/lib/python3/dist-packages";
    const std::string userSite = "home/.local/lib/python3.11/site-packages";
    auto distribution = [&](const std::string& folder, const std::string& name, const std::string& version) {
        root.write(folder + "/" + name + "-" + version + ".dist-info/METADATA",
                   "Metadata-Version: 2.1\nName: " + name + "\nVersion: " + version + "\n\nName: not-a-header\n");
    };
    distribution(systemSite, "pip", "23.0.1");
    distribution(systemSite, "PyYAML", "6.0");
    distribution(userSite, "pyyaml", "6.0.2");  // the user's copy is the one Python imports
    root.write(systemSite + "/six-1.16.0.egg-info", "Name: six\nVersion: 1.16.0\n");
    root.write(systemSite + "/chardet-5.1.0.egg-info/PKG-INFO", "Name: chardet\nVersion: 5.1.0\n");
    root.makeFolder(systemSite + "/broken-1.0.dist-info");
    const std::string system = root.file(systemSite);
    const std::string user = root.file(userSite);
    Environment environment = piptest::systemEnvironment();
    environment.siteFolders = {system, user};

    testing::FakeCommandRunner runner;
    SystemFileSystemManager files;
    PipManager manager(runner, files, {.environments = [&] { return std::vector{environment}; }});
    std::vector<Package> packages = manager.listInstalled({});
    std::vector<std::string> listed;
    for (const Package& package : packages) listed.push_back(package.name + " " + package.version);
    EXPECT_EQ(listed, (std::vector<std::string>{"chardet 5.1.0", "pip 23.0.1", "pyyaml 6.0.2", "six 1.16.0"}));
    EXPECT_TRUE(runner.commandLines().empty());

    // A virtual environment made without the system's packages sees only its own folder.
    distribution("venv/lib/python3.11/site-packages", "pip", "24.0");
    root.write("venv/pyvenv.cfg", "home = /usr/bin\ninclude-system-site-packages = false\n");
    Environment venv = environment;
    venv.interpreter = root.file("venv/bin/python3");
    venv.prefix = root.file("venv");
    venv.isVirtual = true;
    venv.siteFolders = {root.file("venv/lib/python3.11/site-packages"), system};
    std::optional<PipManager::EnvironmentListing> own = manager.readSiteFolders(venv);
    ASSERT_TRUE(own.has_value());
    ASSERT_EQ(own->entries.size(), 1u);
    EXPECT_EQ(own->entries[0].name, "pip");
    root.write("venv/pyvenv.cfg", "home = /usr/bin\ninclude-system-site-packages = true\n");
    EXPECT_FALSE(manager.readSiteFolders(venv).has_value()) << "pip knows best what such an environment sees";

    // An egg only pip can list: pip lists the environment.
    root.write(userSite + "/tool.egg-link", root.path() + "/src/tool\n");
    runner.on(listCommand(kSystem), Response::output(R"([{"name": "tool", "version": "0.1"}, {"name": "pip", "version": "23.0.1"}])"));
    EXPECT_EQ(manager.listInstalled({}).size(), 2u);
    EXPECT_EQ(runner.commandLines(), std::vector<std::string>{listCommand(kSystem)});

    std::filesystem::remove(user + "/tool.egg-link");
    std::filesystem::remove_all(system + "/pip-23.0.1.dist-info");
    runner.clearHistory();
    runner.on(listCommand(kSystem), Response::failure(1, "/usr/bin/python3: No module named pip\n"));
    EXPECT_TRUE(manager.listInstalled({}).empty());
    EXPECT_EQ(runner.commandLines(), std::vector<std::string>{listCommand(kSystem)});
}

TEST(PipManagerTest, EnvironmentsAreAskedAtTheSameTime) {
    PipFixture f;
    std::mutex mutex;
    std::condition_variable arrived;
    int inFlight = 0;
    int met = 0;
    // Each listing waits for the other to start: run one after the other, they would not meet.
    f.runner.on(
        [&](const CommandRequest& request) {
            if (request.arguments.size() != 4 || request.arguments[2] != "list") return false;
            std::unique_lock lock(mutex);
            ++inFlight;
            arrived.notify_all();
            if (arrived.wait_for(lock, std::chrono::seconds(5), [&] { return inFlight >= 2; })) ++met;
            return true;
        },
        Response::output(R"([{"name": "six", "version": "1.16.0"}])"));
    f.manager->listInstalled({});
    EXPECT_EQ(met, 2);
}

TEST(PipManagerTest, AnIndexOutOfReachIsOneMessageFromPipsRetryWarnings) {
    const std::string pyenvList = corpus("pip-list-json.stdout");
    const std::string systemList = corpus("sys-pip-list-json.stdout");
    const std::string pyenvWarnings = corpus("pip-list-outdated-json.stderr");
    const std::string systemWarnings = corpus("sys-pip-list-outdated-json-retries1.stderr");
    const std::string emptyAnswer = corpus("pip-list-outdated-json.stdout");
    PipFixture f;
    f.runner.on(listCommand(kPyenv), Response::output(pyenvList));
    f.runner.on(listCommand(kSystem), Response::output(systemList));
    // Both exit 0 with "[]", as pip does when it reached nothing.
    f.runner.on(outdatedCommand(kPyenv), Response::output(emptyAnswer, 0, pyenvWarnings));
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < systemWarnings.size(); at += 97) chunks.push_back(systemWarnings.substr(at, 97));
    f.runner.on(outdatedCommand(kSystem), Response::streamed({emptyAnswer}, chunks));

    std::vector<Package> installed = f.manager->listInstalled({});
    std::vector<Package> outdated = f.manager->checkOutdated({});

    EXPECT_TRUE(outdated.empty());
    EXPECT_EQ(installed.size(), 112u);
    EXPECT_EQ(f.manager->packages().size(), 112u);
    EXPECT_EQ(f.manager->errorMessage(), localized("error.pip.index_unreachable"));

    // Bounded without touching the command line: pip reads these from its environment.
    std::optional<CommandRequest> request = f.lastRequest(outdatedCommand(kPyenv));
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->environment.at("PIP_RETRIES"), "1");
    EXPECT_EQ(request->environment.at("PIP_TIMEOUT"), "5");
    EXPECT_TRUE(request->timeout.has_value());

    // "[]" with nothing on standard error is "nothing outdated"; a few failed projects out
    // of 94 are a flaky network, not an index out of reach.
    std::string twoWarnings;
    for (std::string_view line : splitLines(pyenvWarnings)) {
        if (contains(line, "/simple/urllib3/") || contains(line, "/simple/rpds-py/"))
            twoWarnings += std::string(line) + "\n";
    }
    f.runner.on(outdatedCommand(kPyenv), Response::output("[]\n", 0, twoWarnings));
    f.runner.on(outdatedCommand(kSystem),
                Response::output(corpus("pip-list-outdated-json-retries0.stdout"), 0, ""));
    EXPECT_TRUE(f.manager->checkOutdated({}).empty());
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
    EXPECT_EQ(f.runner.count(outdatedCommand(kPyenv)), 2u) << "every check asks pip again";
}

TEST(PipManagerTest, TheIndexItselfIsAskedForWhatEachEnvironmentShows) {
    PipFixture f;
    testing::MockNetworkClient index;
    f.manager->setNetwork(index);
    testing::ScopedEnvironment noPipCert("PIP_CERT", nullptr);  // it would override the file's
    f.files.addFile(paths::home() + "/.config/pip/pip.conf",
                    "[global]\nindex-url = https://mirror.example/simple\ncert = /etc/ssl/mirror.pem\n");
    f.runner.on(listCommand(kPyenv), Response::output(R"([{"name": "requests", "version": "2.31.0"},
        {"name": "six", "version": "1.16.0"}, {"name": "idna", "version": "3.7"},
        {"name": "../../admin", "version": "1"}])"));
    f.runner.on(listCommand(kSystem), Response::output(R"([{"name": "six", "version": "1.15.0"},
        {"name": "PyYAML", "version": "6.0"}])"));
    auto page = [&](const std::string& project, const std::string& type, std::string body) {
        HttpResponse response{.statusCode = 200, .body = std::move(body)};
        response.headers.set("Content-Type", type);
        index.setResponse("https://mirror.example/simple/" + project + "/", response);
    };
    page("requests", "application/vnd.pypi.simple.v1+json", R"({"files": [{"filename": "requests-2.31.0-py3-none-any.whl"},
        {"filename": "requests-2.32.3-py3-none-any.whl", "requires-python": ">=3.8"},
        {"filename": "requests-3.0.0rc1-py3-none-any.whl"}]})");
    page("six", "text/html", "<a href=\"/f/six-1.16.0.tar.gz\">six</a><a href=\"/f/six-1.17.0.tar.gz\">six</a>");
    page("idna", "text/html", "<a href=\"/f/idna-3.7.tar.gz\">idna</a>");

    f.manager->listInstalled({});
    std::vector<Package> outdated = f.manager->checkOutdated({});

    // six as the environment that shows it has it; PyYAML's page is missing (404).
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(testing::find(outdated, "requests")->latestVersion, "2.32.3");
    EXPECT_EQ(testing::find(outdated, "six")->version, "1.16.0");
    EXPECT_EQ(testing::find(outdated, "six")->sourceIdentifier, kPyenv);
    EXPECT_EQ(testing::find(outdated, "six")->latestVersion, "1.17.0");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
    EXPECT_EQ(f.runner.count(outdatedCommand(kPyenv)) + f.runner.count(outdatedCommand(kSystem)), 0u);
    EXPECT_EQ(index.fetchCount("https://mirror.example/simple/six/"), 1u);
    EXPECT_EQ(index.fetchCount("https://mirror.example/simple/pyyaml/"), 1u);
    for (const HttpRequest& request : index.sentRequests()) {
        EXPECT_FALSE(contains(request.url, "admin")) << "not a project name: never in an address";
        EXPECT_EQ(request.caFile, "/etc/ssl/mirror.pem");
        EXPECT_EQ(request.headers.get("Accept"), PipIndex::kAccept);
    }

    // Out of reach: one page tells, the listing stays, one message says so.
    for (const char* name : {"requests", "six", "idna", "pyyaml"})
        index.setError("https://mirror.example/simple/" + std::string(name) + "/", NetworkError::timeout());
    const std::size_t before = index.sentRequests().size();
    EXPECT_TRUE(f.manager->checkOutdated({}).empty());
    EXPECT_EQ(index.sentRequests().size(), before + 1);
    EXPECT_EQ(f.manager->errorMessage(), localized("error.pip.index_unreachable"));
    EXPECT_EQ(f.manager->packages().size(), 5u);
}

TEST(PipManagerTest, DropsHomebrewOwnedPackagesOnlyOnAHomebrewSignalWithoutRecord) {
    PipFixture f;
    Environment brew = piptest::pyenvEnvironment();
    brew.interpreter = "/opt/homebrew/bin/python3";
    brew.kind = PythonEnvironments::Kind::Homebrew;
    brew.siteFolders = {"/opt/homebrew/lib/python3.12/site-packages"};
    Environment apple = piptest::systemEnvironment();
    apple.interpreter = "/Library/Developer/CommandLineTools/usr/bin/python3";
    apple.siteFolders = {};
    apple.isExternallyManaged = false;
    apple.isAppleManaged = true;
    f.environments = {brew, apple, piptest::systemEnvironment()};
    const std::string brewSite = "/opt/homebrew/lib/python3.12/site-packages/";
    f.files.addFile(brewSite + "brewed_thing-1.0.dist-info/INSTALLER", "pip\n");
    f.files.addFile(brewSite + "recorded-2.0.dist-info/RECORD", "recorded/__init__.py,,\n");
    f.files.addFile("/usr/lib/python3/dist-packages/six-1.16.0.egg-info/PKG-INFO", "Name: six\n");
    f.files.addFile("/usr/lib/python3/dist-packages/cffi-1.15.1.dist-info/INSTALLER", "brew\n");

    f.runner.on(
        listCommand(brew.interpreter),
        Response::output(R"([{"name": "brewed-thing", "version": "1.0"}, {"name": "recorded", "version": "2.0"}])"));
    f.runner.on(listCommand(apple.interpreter), Response::output(R"([{"name": "pip", "version": "21.2.4"}])"));
    f.runner.on(listCommand(kSystem),
                Response::output(R"([{"name": "six", "version": "1.16.0"}, {"name": "cffi", "version": "1.15.1"}])"));
    f.runner.on(outdatedCommand(brew.interpreter),
                Response::output(R"([{"name": "brewed-thing", "version": "1.0", "latest_version": "1.1"},
        {"name": "recorded", "version": "2.0", "latest_version": "2.1"}])"));
    f.runner.on(outdatedCommand(apple.interpreter),
                Response::output(R"([{"name": "pip", "version": "21.2.4", "latest_version": "24.0"}])"));
    f.runner.on(outdatedCommand(kSystem),
                Response::output(R"([{"name": "six", "version": "1.16.0", "latest_version": "1.17.0"},
        {"name": "cffi", "version": "1.15.1", "latest_version": "1.17.1"}])"));

    std::vector<Package> outdated = f.manager->checkOutdated({});

    std::vector<std::string> names;
    for (const Package& package : outdated) names.push_back(package.name);
    std::sort(names.begin(), names.end());
    // Debian's six has no RECORD either, but nothing says Homebrew owns it.
    EXPECT_EQ(names, (std::vector<std::string>{"recorded", "six"}));
}

TEST(PipManagerTest, FallsBackToPipReviewWhenTheOutdatedListingFails) {
    PipFixture f;
    f.environments = {piptest::pyenvEnvironment()};
    f.runner.on(listCommand(kPyenv), Response::output(R"([{"name": "requests", "version": "2.31.0"},
        {"name": "PyYAML", "version": "6.0"}, {"name": "lazr.restfulclient", "version": "0.14.5"}])"));
    f.runner.on(outdatedCommand(kPyenv),
                Response::failure(2, "ERROR: Exception:\nTraceback (most recent call last):\n"));

    // Without pip-review the failure is the scanner's message.
    EXPECT_TRUE(f.manager->checkOutdated({}).empty());
    EXPECT_TRUE(startsWith(f.manager->errorMessage().value_or(""), "Pip outdated command failed for " + kPyenv + ": exit code 2"));

    const std::string review = "/home/user/.pyenv/versions/3.11.7/bin/pip-review";
    f.files.addExecutable(review, "#!/home/user/.pyenv/versions/3.11.7/bin/python3\n");
    f.runner.on(review, Response::output(fixture("pip", "pip-review.stdout")));
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 3u);
    EXPECT_EQ(testing::find(outdated, "requests")->latestVersion, "2.32.3");
    EXPECT_EQ(testing::find(outdated, "requests")->version, "2.31.0");
    EXPECT_EQ(testing::find(outdated, "lazr.restfulclient")->latestVersion, "0.14.6");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
}

TEST(PipManagerTest, RefusesAnExternallyManagedEnvironmentBeforeAnyInstallRuns) {
    PipFixture f;
    f.runner.on(listCommand(kPyenv), Response::output(R"([{"name": "requests", "version": "2.31.0"}])"));
    f.runner.on(listCommand(kSystem), Response::output(R"([{"name": "PyYAML", "version": "6.0"}])"));
    f.manager->listInstalled({});
    f.runner.clearHistory();
    auto installs = [&] {
        std::vector<std::string> lines = f.runner.commandLines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return contains(l, " install "); });
    };

    Package yaml{.name = "PyYAML", .version = "6.0", .type = PackageType::PipPackage, .sourceIdentifier = kSystem};
    const auto managed = testing::thrown<PipError>([&] { f.manager->update(yaml, {}); });
    EXPECT_EQ(managed.value().kind(), PipError::Kind::ExternallyManaged);
    EXPECT_EQ(managed->description(), localized("error.pip.externally_managed", {"PyYAML", kSystem}));
    EXPECT_EQ(installs(), 0);

    // An environment no longer found has no pip to update with.
    Package gone{
        .name = "requests", .version = "1.0", .type = PackageType::PipPackage, .sourceIdentifier = "/gone/bin/python3"};
    const auto noPip = testing::thrown<PipError>([&] { f.manager->update(gone, {}); });
    EXPECT_EQ(noPip.value().kind(), PipError::Kind::NoExecutableForUpdate);
    EXPECT_EQ(noPip->description(), localized("error.pip.no_executable_for_update", {"requests"}));
    // A name pip would read as an option never reaches it.
    Package option{.name = "--index-url=http://example.invalid/simple",
                   .version = "1",
                   .type = PackageType::PipPackage,
                   .sourceIdentifier = kPyenv};
    EXPECT_THROW(f.manager->update(option, {}), PipError);
    EXPECT_EQ(installs(), 0);

    // The package's own environment, with its own pip.
    const std::string pyenvInstall = "/home/user/.pyenv/versions/3.11.7/bin/pip3 install --upgrade requests";
    f.runner.on(pyenvInstall, Response::output("Successfully installed requests-2.32.3\n"));
    Package requests{
        .name = "requests", .version = "2.31.0", .type = PackageType::PipPackage, .sourceIdentifier = kPyenv};
    f.manager->update(requests, {});
    EXPECT_EQ(f.runner.count(pyenvInstall), 1u);
    // With the version shown, exactly that one.
    const std::string pinnedInstall = "/home/user/.pyenv/versions/3.11.7/bin/pip3 install requests==2.32.3";
    f.runner.on(pinnedInstall, Response::output("Successfully installed requests-2.32.3\n"));
    Package shown = requests;
    shown.latestVersion = "2.32.3";
    f.manager->update(shown, {});
    EXPECT_EQ(f.runner.count(pinnedInstall), 1u);

    // pip's own refusal, when the marker was not seen, reads the same.
    f.environments[1].isExternallyManaged = false;
    f.make();
    f.runner.on("/usr/bin/pip3 install --upgrade PyYAML", Response::failure(1, corpus("sys-pip-install.stderr")));
    EXPECT_EQ(testing::thrown<PipError>([&] { f.manager->update(yaml, {}); }).value().kind(),
              PipError::Kind::ExternallyManaged);

    // Without the index pip keeps the installed version and exits 0: not an update.
    f.runner.on(pyenvInstall, Response::output("Requirement already satisfied: requests in "
                                               "/home/user/.pyenv/versions/3.11.7/lib/python3.11/site-packages (2.31.0)\n",
                                               0, corpus("pip-index-versions-requests.stderr")));
    EXPECT_EQ(testing::thrown<PipError>([&] { f.manager->update(requests, {}); }).value().kind(),
              PipError::Kind::IndexUnreachable);
}

TEST(PipManagerTest, ParsersReadPipsOutputs) {
    for (const auto& [name, normalized] : std::vector<std::pair<std::string, std::string>>{
             {"PyYAML", "pyyaml"}, {"lazr.restfulclient", "lazr-restfulclient"}, {"Zope__Interface", "zope-interface"},
             {"typing_extensions", "typing-extensions"}, {"a-_.b", "a-b"}, {"pip", "pip"}}) {
        EXPECT_EQ(PipManager::normalizedName(name), normalized) << name;
    }
    for (const char* name : {"requests", "lazr.restfulclient", "zope_interface", "a"}) {
        EXPECT_TRUE(PipManager::isProjectName(name)) << name;
    }
    for (const char* name : {"-r", "--upgrade", "pkg==1.0", "../evil", "", "name with space", "git+https://x/y"}) {
        EXPECT_FALSE(PipManager::isProjectName(name)) << name;
    }

    auto outdated = PipManager::parseOutdated(fixture("pip", "outdated-local-index.json"));
    EXPECT_EQ(outdated.error, std::nullopt);
    EXPECT_EQ(outdated.entries, (std::vector<PipManager::OutdatedEntry>{{"pip", "23.2.1", "24.3.1"},
                                                                        {"setuptools", "65.5.0", "75.6.0"}}));
    EXPECT_TRUE(startsWith(PipManager::parseOutdated("Traceback (most recent call last):").error.value_or(""),
                           "Failed to parse pip outdated JSON: "));
    EXPECT_TRUE(startsWith(PipManager::parseInstalled("{}").error.value_or(""), "Failed to parse pip list JSON: "));
    // A notice an old pip prints before its JSON is not part of it.
    auto installed =
        PipManager::parseInstalled("DEPRECATION: old pip\n[{\"name\": \"six\", \"version\": \"1.16.0\"}]\n");
    EXPECT_EQ(installed.entries, (std::vector<PipManager::InstalledEntry>{{"six", "1.16.0"}}));

    const std::string fiveRetries = corpus("pip-list-outdated-json.stderr");
    const std::string oneRetry = corpus("sys-pip-list-outdated-json-retries1.stderr");
    const std::string index = corpus("pip-index-versions-requests.stderr");
    EXPECT_EQ(PipManager::unreachableProjects(fiveRetries).size(), 94u);
    EXPECT_EQ(PipManager::unreachableProjects(oneRetry).size(), 27u);
    EXPECT_EQ(PipManager::unreachableProjects(index), (std::set<std::string>{"requests"}));
    EXPECT_TRUE(PipManager::unreachableProjects(corpus("sys-pip-install.stderr")).empty());
}

}  // namespace
}  // namespace vt
