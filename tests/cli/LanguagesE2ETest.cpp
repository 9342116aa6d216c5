// `vantreel scan --json` over a sandbox HOME holding a crate, a gem, a Go program and a global
// Composer package: the real gem, go and composer of this machine installed them there, cargo
// is a stand-in in ~/.cargo/bin, the crates registry answers on loopback and RubyGems does not.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class LanguagesE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"/usr/bin/gem", "/usr/bin/go", "/usr/bin/composer"}) {
            if (!std::filesystem::exists(tool)) GTEST_SKIP() << "no " << tool;
        }
        testing::showOnly(home_.path(), {"ShowCargo", "ShowGems", "ShowGo", "ShowComposer"});

        // As `cargo install --list` prints it, from a record only cargo reads.
        home_.write(".cargo/.crates2.json", "{}");
        home_.writeExecutable(".cargo/bin/cargo", R"(#!/bin/sh
case "$1 $2" in
  "install --list") printf 'mytool v0.1.0 (/src/mytool):\n    mytool\nripgrep v13.0.0:\n    rg\n' ;;
  *) echo "error: unexpected arguments: $*" >&2; exit 2 ;;
esac
)");
        testing::LoopbackRoute ripgrep;
        ripgrep.body = R"({"crate": {"max_stable_version": "14.1.0"}, "versions": [{"num": "14.1.0", "bin_names": ["rg"]}]})";
        crates_.setRoute("/api/v1/crates/ripgrep", ripgrep);

        home_.write("build/vt_e2e.gemspec",
                    "Gem::Specification.new do |s|\n  s.name = \"vt_e2e\"\n  s.version = \"2.3.4\"\n"
                    "  s.summary = \"e2e\"\n  s.authors = [\"Van Treel\"]\n  s.files = []\nend\n");
        install("/usr/bin/gem", {"build", "vt_e2e.gemspec"}, home_.file("build"));
        install("/usr/bin/gem", {"install", "--local", "--user-install", "--no-document", "vt_e2e-2.3.4.gem"},
                home_.file("build"));

        home_.write("src/vtlocal/go.mod", "module example.com/vtlocal\n\ngo 1.19\n");
        home_.write("src/vtlocal/main.go", "package main\n\nfunc main() {}\n");
        install("/usr/bin/go", {"install", "."}, home_.file("src/vtlocal"),
                {{"GOPROXY", "off"}, {"GOFLAGS", "-mod=mod"}, {"GOTOOLCHAIN", "local"}});

        home_.write("repo/demo/composer.json", R"({"name": "vt/demo", "version": "1.4.0"})");
        home_.write(".config/composer/composer.json",
                    R"({"repositories": [{"type": "path", "url": ")" + home_.file("repo/demo") +
                        R"(", "options": {"symlink": false}}, {"packagist.org": false}], "require": {"vt/demo": "^1.0"}})");
        install("/usr/bin/composer", {"global", "update", "--no-interaction", "--no-progress"}, home_.path(),
                {{"COMPOSER_NO_AUDIT", "1"}, {"COMPOSER_ALLOW_SUPERUSER", "1"}});
    }

    // The sandbox's tool with its HOME, as the adapters will run it.
    void install(const std::string& tool, std::vector<std::string> arguments, const std::string& directory,
                 std::map<std::string, std::string> environment = {}) {
        environment["HOME"] = home_.path();
        CommandRequest request{.command = tool, .arguments = std::move(arguments), .environment = environment,
                               .timeout = 180, .currentDirectory = directory, .allowNonZeroExit = true};
        ShellCommandResult result = runner_.execute(request);
        ASSERT_EQ(result.exitCode, 0) << tool << ": " << result.standardOutput << result.standardError;
    }

    CommandRunner runner_;
    testing::TempDir home_{"vt-languages-e2e"};
    testing::LoopbackServer crates_;
};

TEST_F(LanguagesE2ETest, ScanListsEachEcosystemWithVersionsAndNamesTheRegistryOutOfReach) {
    // Nothing listens on port 9 of the loopback: every RubyGems look-up is refused.
    auto result = runVantreel({{"--accept-terms", "scan", "--json"},
                               home_.path(),
                               {{"VANTREEL_SCANNER_TIMEOUT", "60"},
                                {"VANTREEL_ENDPOINT_CRATES", crates_.origin()},
                                {"VANTREEL_ENDPOINT_RUBYGEMS", "http://127.0.0.1:9"}}});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    Json report = testing::jsonOf(result);
    std::map<std::string, Json> items = testing::itemsByKey(report);

    ASSERT_TRUE(items.count("package:cargo (rust):ripgrep")) << result.standardOutput;
    EXPECT_EQ(items["package:cargo (rust):ripgrep"]["version"], "13.0.0");
    EXPECT_EQ(items["package:cargo (rust):ripgrep"]["latestVersion"], "14.1.0");
    EXPECT_EQ(items["package:cargo (rust):mytool"]["version"], "0.1.0");
    ASSERT_TRUE(items.count("package:ruby gems:vt_e2e")) << result.standardOutput;
    EXPECT_EQ(items["package:ruby gems:vt_e2e"]["version"], "2.3.4");
    ASSERT_TRUE(items.count("package:go:vtlocal")) << result.standardOutput;
    EXPECT_EQ(items["package:go:vtlocal"]["version"], "(devel)");
    ASSERT_TRUE(items.count("package:composer:vt/demo")) << result.standardOutput;
    EXPECT_EQ(items["package:composer:vt/demo"]["version"], "1.4.0");
    EXPECT_EQ(crates_.requestCount("/api/v1/crates/mytool"), 0u);

    std::map<std::string, Json> scanners;
    for (const Json& scanner : report["scanners"]) scanners[scanner.value("source", "")] = scanner;
    ASSERT_TRUE(scanners.count("gems")) << result.standardOutput;
    EXPECT_NE(scanners["gems"].value("message", "").find("127.0.0.1:9"), std::string::npos) << scanners["gems"];
    EXPECT_EQ(scanners["gems"]["latestVersionsUnknown"], true) << scanners["gems"];
    EXPECT_FALSE(scanners["cargo"].contains("message")) << scanners["cargo"];
    EXPECT_EQ(scanners["cargo"]["latestVersionsUnknown"], false) << scanners["cargo"];
}

}  // namespace
}  // namespace vt
