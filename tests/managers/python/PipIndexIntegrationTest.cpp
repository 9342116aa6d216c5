// The real pip of a fresh virtual environment against a package index on loopback,
// configured the way users configure theirs: a pip.conf in the home folder.
#include "managers/python/PipManager.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "PipTestSupport.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Environment = PipManager::Environment;
using testing::find;

// A PEP 503 page: one link per file, the file name carrying the version.
testing::LoopbackRoute projectPage(const std::vector<std::string>& files) {
    testing::LoopbackRoute route;
    route.contentType = "text/html; charset=utf-8";
    route.body = "<!DOCTYPE html>\n<html><body>\n";
    for (const std::string& file : files) route.body += "<a href=\"/files/" + file + "\">" + file + "</a><br/>\n";
    route.body += "</body></html>\n";
    return route;
}

class PipIndexIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<testing::TempHome>();
        runner_ = std::make_unique<CommandRunner>();  // after HOME moved: pip reads our pip.conf
        std::optional<std::string> python = ExecutableLocator(files_).locate("python3");
        if (!python) GTEST_SKIP() << "no python3";
        CommandRequest venv{.command = *python,
                            .arguments = {"-m", "venv", work_.file("venv")},
                            .timeout = 180,
                            .allowNonZeroExit = true};
        if (runner_->execute(venv).exitCode != 0)
            GTEST_SKIP() << "python3 cannot make virtual environments (python3-venv)";
        environment_ = PythonEnvironments().describe(work_.file("venv/bin/python3"), PythonEnvironments::Kind::User);
        ASSERT_TRUE(environment_.has_value());
    }

    void useIndex(const std::string& indexURL) {
        std::filesystem::create_directories(home_->path() + "/.config/pip");
        writeFileAtomically(home_->path() + "/.config/pip/pip.conf", "[global]\nindex-url = " + indexURL + "\n");
    }

    // Serves wheels of vt-demo in these versions and installs 1.0.0 from the index.
    void installDemo(testing::LoopbackServer& index, std::initializer_list<const char*> versions) {
        const std::string wheels = work_.makeFolder("wheels");
        for (const char* version : versions) {
            std::string wheel = piptest::buildWheel(*runner_, "vt-demo", version, wheels);
            index.setRoute("/files/" + std::filesystem::path(wheel).filename().string(),
                           {.body = readFile(wheel).value(), .contentType = "application/octet-stream"});
        }
        index.setRoute("/simple/vt-demo/", projectPage({"vt_demo-1.0.0-py3-none-any.whl"}));
        CommandRequest install{.command = environment_->interpreter,
                               .arguments = {"-m", "pip", "install", "vt-demo==1.0.0"},
                               .timeout = 180,
                               .allowNonZeroExit = true};
        ShellCommandResult installed = runner_->execute(install);
        ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    }

    std::unique_ptr<PipManager> manager() {
        return std::make_unique<PipManager>(
            *runner_, files_, PipManager::Options{.environments = [this] { return std::vector<Environment>{*environment_}; }});
    }

    testing::TempDir work_{"vt-pip-index"};
    std::unique_ptr<testing::TempHome> home_;
    std::unique_ptr<CommandRunner> runner_;
    SystemFileSystemManager files_;
    std::optional<Environment> environment_;
};

TEST_F(PipIndexIntegrationTest, FindsOutdatedPackagesWithTheIndexVersionsAndUpdatesFromIt) {
    testing::LoopbackServer index;
    useIndex(index.url("/simple"));
    ASSERT_NO_FATAL_FAILURE(installDemo(index, {"1.0.0", "1.1.0"}));

    index.setRoute("/simple/vt-demo/",
                   projectPage({"vt_demo-1.0.0-py3-none-any.whl", "vt_demo-1.1.0-py3-none-any.whl"}));
    auto pip = manager();

    std::vector<Package> packages = pip->listInstalled({});
    const Package* demo = find(packages, "vt-demo");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->version, "1.0.0");
    EXPECT_EQ(demo->sourceIdentifier, environment_->interpreter);

    std::vector<Package> outdated = pip->checkOutdated({});
    EXPECT_EQ(pip->errorMessage(), std::nullopt);
    ASSERT_NE(find(outdated, "vt-demo"), nullptr);
    EXPECT_EQ(find(outdated, "vt-demo")->latestVersion, "1.1.0");
    EXPECT_GE(index.requestCount("/simple/vt-demo/"), 2u);

    pip->update(*find(outdated, "vt-demo"), {});
    packages = pip->listInstalled({});
    ASSERT_NE(find(packages, "vt-demo"), nullptr);
    EXPECT_EQ(find(packages, "vt-demo")->version, "1.1.0");
}

TEST_F(PipIndexIntegrationTest, TheIndexIsReadAsPipReadsIt) {
    testing::LoopbackServer index;
    useIndex(index.url("/simple/"));
    ASSERT_NO_FATAL_FAILURE(installDemo(index, {"1.0.0"}));

    // Only the sdist 1.1.0 is for this Python: the rest needs another one, another system,
    // is yanked, or is a pre-release.
    testing::LoopbackRoute page = projectPage({"vt_demo-1.0.0-py3-none-any.whl", "vt-demo-1.1.0.tar.gz",
                                               "vt_demo-1.5.0-cp27-cp27mu-manylinux1_x86_64.whl",
                                               "vt_demo-1.6.0-py3-none-win_amd64.whl", "vt_demo-2.0.0rc1-py3-none-any.whl"});
    page.body += "<a href=\"/files/vt_demo-1.2.0-py3-none-any.whl\" data-requires-python=\"&gt;=4\">x</a>\n"
                 "<a href=\"/files/vt_demo-1.3.0-py3-none-any.whl\" data-yanked=\"broken\">x</a>\n";
    index.setRoute("/simple/vt-demo/", page);
    index.setRoute("/simple/pip/", {.body = R"({"meta": {"api-version": "1.1"}, "name": "pip", "files": [
        {"filename": "pip-98.0.tar.gz", "url": "/files/pip-98.0.tar.gz", "hashes": {}},
        {"filename": "pip-99.0-py3-none-any.whl", "url": "/files/pip-99.0-py3-none-any.whl", "hashes": {},
         "requires-python": "<3"}]})",
                                    .contentType = "application/vnd.pypi.simple.v1+json"});

    CommandRequest outdated{.command = environment_->interpreter,
                            .arguments = {"-m", "pip", "list", "--outdated", "--format=json"},
                            .timeout = 180,
                            .allowNonZeroExit = true};
    ShellCommandResult pipsAnswer = runner_->execute(outdated);
    ASSERT_EQ(pipsAnswer.exitCode, 0) << pipsAnswer.standardError;
    std::set<std::pair<std::string, std::string>> expected;
    const Json answer = parseJson(pipsAnswer.standardOutput).value_or(Json::array());
    for (const Json& entry : answer)
        expected.emplace(entry["name"].get<std::string>(), entry["latest_version"].get<std::string>());
    ASSERT_EQ(expected, (std::set<std::pair<std::string, std::string>>{{"pip", "98.0"}, {"vt-demo", "1.1.0"}}));

    const std::size_t asked = index.requestCount("/simple/vt-demo/");
    auto pip = manager();
    pip->listInstalled({});
    std::set<std::pair<std::string, std::string>> ours;
    for (const Package& package : pip->checkOutdated({})) ours.emplace(package.name, package.latestVersion.value_or(""));
    EXPECT_EQ(ours, expected);
    EXPECT_EQ(pip->errorMessage(), std::nullopt);
    // Asked by us, not by a pip started for it.
    ASSERT_EQ(index.requestCount("/simple/vt-demo/"), asked + 1);
    EXPECT_FALSE(startsWith(index.requests().back().headers.get("User-Agent").value_or(""), "pip/"));
}

TEST_F(PipIndexIntegrationTest, AnIndexRefusingConnectionsIsReportedAndTheListingKept) {
    std::string closed;
    {
        testing::LoopbackServer index;
        closed = index.url("/simple");
    }
    useIndex(closed);
    auto pip = manager();
    std::vector<Package> packages = pip->listInstalled({});
    ASSERT_NE(find(packages, "pip"), nullptr);
    EXPECT_TRUE(pip->checkOutdated({}).empty());
    EXPECT_EQ(pip->errorMessage(), localized("error.pip.index_unreachable"));
    EXPECT_NE(find(pip->packages(), "pip"), nullptr);
}

TEST_F(PipIndexIntegrationTest, APipStillRetryingIsStoppedOnceFiveProjectsFailed) {
    // Stands in for pip against an index that never answers: five failed lookups, then a
    // wait longer than any scan would accept.
    std::string warnings;
    for (const char* project : {"attrs", "boto3", "click", "docker", "flask", "idna"}) {
        warnings +=
            "WARNING: Retrying (Retry(total=0, connect=None, read=None, redirect=None, status=None)) after "
            "connection broken by 'NewConnectionError('<pip._vendor.urllib3.connection.HTTPSConnection object "
            "at 0x7f0>: Failed to establish a new connection: [Errno -2] Name or service not known')': /simple/" +
            std::string(project) + "/\n";
    }
    work_.write("stderr.txt", warnings);
    const std::string fake = work_.writeExecutable(
        "slow/bin/python3",
        "#!/bin/sh\n"
        "case \"$*\" in\n"
        "  *--outdated*) cat '" +
            work_.file("stderr.txt") +
            "' >&2; exec sleep 60 ;;\n"
            "  *) echo '[{\"name\": \"attrs\", \"version\": \"1\"}, {\"name\": \"boto3\", \"version\": \"1\"}, "
            "{\"name\": \"click\", \"version\": \"1\"}, {\"name\": \"docker\", \"version\": \"1\"}, "
            "{\"name\": \"flask\", \"version\": \"1\"}, {\"name\": \"idna\", \"version\": \"1\"}]' ;;\n"
            "esac\n");
    Environment slow;
    slow.interpreter = fake;
    slow.prefix = work_.file("slow");
    // A local wheel folder: only pip reads those.
    work_.write("slow/pip.conf", "[global]\nfind-links = " + work_.file("wheels") + "\n");
    PipManager pip(*runner_, files_, {.environments = [slow] { return std::vector<Environment>{slow}; }});

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pip.listInstalled({}).size(), 6u);
    EXPECT_TRUE(pip.checkOutdated({}).empty());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(pip.errorMessage(), localized("error.pip.index_unreachable"));
    EXPECT_LT(seconds, PipManager::kOutdatedTimeout / 3);
}

}  // namespace
}  // namespace vt
