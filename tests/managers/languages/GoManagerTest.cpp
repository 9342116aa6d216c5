#include "managers/languages/GoManager.hpp"

#include <gtest/gtest.h>

#include "managers/languages/GoError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kGo = "/usr/bin/go";
const std::string kElf = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(64, '\0');

// `go version -m` of a program installed with go install, as go prints it.
std::string buildInfo(const std::string& file, const std::string& path, const std::string& module,
                      const std::string& version) {
    return file + ": go1.22.1\n\tpath\t" + path + "\n\tmod\t" + module + "\t" + version +
           "\th1:abc=\n\tdep\tgolang.org/x/mod\tv0.16.0\th1:def=\n\tbuild\t-compiler=gc\n";
}

std::string proxy(const std::string& encoded) { return Endpoints::url(Service::GoProxy, "/" + encoded + "/@latest"); }

struct GoFixture {
    testing::FakeCommandRunner runner;
    SystemFileSystemManager files;
    testing::MockNetworkClient network;
    testing::TempDir gopath{"vt-go"};
    std::string bin = gopath.makeFolder("bin");
    GoManager manager{runner, files,
                      GoManager::Options{.network = &network, .home = gopath.path(),
                                         .cacheFile = gopath.file("go_cache.json"),
                                         .environment = {{"GOPATH", gopath.path() + ":/elsewhere"}}}};

    GoFixture() {
        const std::pair<const char*, std::array<const char*, 3>> programs[] = {
            {"toml", {"github.com/BurntSushi/toml/cmd/tomlv", "github.com/BurntSushi/toml", "v1.2.0"}},
            {"gopls", {"golang.org/x/tools/gopls", "golang.org/x/tools/gopls", "v0.15.0"}},
            {"mine", {"example.com/mine", "example.com/mine", "(devel)"}},
        };
        for (const auto& program : programs) {
            const std::string file = gopath.write(std::string("bin/") + program.first, kElf, 0755);
            runner.on(kGo + " version -m " + file,
                      Response::output(buildInfo(file, program.second[0], program.second[1], program.second[2])));
        }
        // A stripped Go binary has no module metadata; go says only its toolchain.
        const std::string stripped = gopath.write("bin/stripped", kElf, 0755);
        runner.on(kGo + " version -m " + stripped, Response::output(stripped + ": go1.22.1\n"));
        gopath.write("bin/script.sh", "#!/bin/sh\necho hi\n", 0755);
        gopath.write("bin/notes.txt", "not a program", 0644);
    }
};

TEST(GoManagerTest, ReadsModulesAndAsksTheProxyWithCaseEncodedPaths) {
    GoFixture f;
    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 3u);
    EXPECT_EQ(installed[0].name, "gopls");
    EXPECT_EQ(installed[1].name, "mine");
    EXPECT_EQ(installed[1].version, "(devel)");
    EXPECT_EQ(installed[2].name, "toml");
    EXPECT_EQ(installed[2].version, "v1.2.0");
    EXPECT_EQ(installed[2].sourceIdentifier, "github.com/BurntSushi/toml/cmd/tomlv");
    // Only files that begin like a program are handed to go.
    for (const std::string& line : f.runner.commandLines()) {
        EXPECT_EQ(line.find("script.sh"), std::string::npos);
        EXPECT_EQ(line.find("notes.txt"), std::string::npos);
    }

    f.network.setText(proxy("github.com/!burnt!sushi/toml"), R"({"Version": "v1.3.2", "Time": "2023-06-07T00:00:00Z"})");
    f.network.setText(proxy("golang.org/x/tools/gopls"), R"({"Version": "v0.15.0"})");
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "toml");
    EXPECT_EQ(outdated[0].latestVersion, "v1.3.2");
    EXPECT_EQ(f.network.fetchCount(proxy("example.com/mine")), 0u);  // a devel build is never looked up

    f.runner.on(kGo + " install github.com/BurntSushi/toml/cmd/tomlv@v1.3.2", Response::output(""));
    // The binary did not move.
    EXPECT_THROW(f.manager.update(outdated[0], {}), GoError);
    EXPECT_TRUE(f.runner.ran(kGo + " install github.com/BurntSushi/toml/cmd/tomlv@v1.3.2"));
    EXPECT_EQ(testing::thrown<GoError>([&] { f.manager.update(installed[1], {}); }).value().kind(), GoErrorKind::DevelBuild);

    EXPECT_EQ(GoManager::parseBuildInfo("x: go1.22.1\n", "x"), std::nullopt);
    EXPECT_EQ(GoManager::parseBuildInfo("x: could not read Go build info from x: not a Go executable\n", "x"),
              std::nullopt);
    auto metadata = GoManager::parseBuildInfo("x: go1.21\n\tmod\texample.com/m\tv1.0.0\n", "x");
    ASSERT_TRUE(metadata.has_value());
    EXPECT_EQ(metadata->commandPath, "example.com/m");
    EXPECT_EQ(GoManager::caseEncode("github.com/Azure/azure-SDK"), "github.com/!azure/azure-!s!d!k");
    for (const char* path : {"-toolexec=x", "example.com/../etc", "example.com/a b"}) EXPECT_FALSE(GoManager::isModulePath(path));
    EXPECT_TRUE(GoManager::looksExecutable(std::string("\xcf\xfa\xed\xfe", 4)));
    EXPECT_FALSE(GoManager::looksExecutable("#!/b"));
    EXPECT_FALSE(GoManager::looksExecutable(""));
}

}  // namespace
}  // namespace vt
