// `vantreel update --all` against this machine's real gem, go, composer and cargo, each with
// its state in a sandbox HOME (GEM_HOME, GOPATH, COMPOSER_HOME, CARGO_HOME) and its packages
// from a local source: a file-based gem repository, a module proxy, a Composer repository
// and the crates registry's API on loopback, vendored crates in a folder. Each source also
// holds a release newer than the one the scan shows: what is installed is the one shown.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Paths.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class LanguageUpdatesE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"/usr/bin/gem", "/usr/bin/go", "/usr/bin/composer", "/usr/bin/zip"}) {
            if (!std::filesystem::exists(tool)) GTEST_SKIP() << "no " << tool;
        }
        testing::showOnly(home_.path(), {"ShowGems", "ShowGo", "ShowComposer", "ShowCargo"});
        environment_ = {{"GEM_HOME", home_.file("gems")},
                        {"GEM_PATH", home_.file("gems")},
                        {"GOPATH", home_.file("go")},
                        {"GOENV", home_.file("go.env")},
                        {"GOCACHE", home_.file("go-cache")},
                        {"GOFLAGS", "-mod=mod -modcacherw"},
                        {"GOTOOLCHAIN", "local"},
                        {"COMPOSER_HOME", home_.file("composer")},
                        {"VANTREEL_ENDPOINT_RUBYGEMS", registry_.origin()},
                        {"VANTREEL_ENDPOINT_GO_PROXY", registry_.origin()},
                        {"VANTREEL_ENDPOINT_CRATES", registry_.origin()},
                        {"VANTREEL_SCANNER_TIMEOUT", "120"},
                        {"LANG", "C"}};
        prepareGems();
        prepareGo();
        prepareComposer();
        prepareCargo();
    }

    // Three releases in a file-based repository; RubyGems' API says the latest is 2.4.0.
    void prepareGems() {
        std::filesystem::create_directories(home_.file("gem-repo/gems"));
        for (const char* version : {"2.3.4", "2.4.0", "3.0.0"}) {
            home_.write("gem-repo/vt_e2e.gemspec", std::string("Gem::Specification.new do |s|\n  s.name = \"vt_e2e\"\n") +
                                                       "  s.version = \"" + version +
                                                       "\"\n  s.summary = \"e2e\"\n  s.authors = [\"Van Treel\"]\n"
                                                       "  s.files = []\nend\n");
            run("/usr/bin/gem", {"build", "vt_e2e.gemspec", "-o", std::string("gems/vt_e2e-") + version + ".gem"},
                home_.file("gem-repo"));
        }
        run("/usr/bin/gem", {"generate_index", "-d", home_.file("gem-repo")}, home_.file("gem-repo"));
        home_.write(".gemrc", "---\n:sources:\n- file://" + home_.file("gem-repo") + "/\n");
        run("/usr/bin/gem", {"install", "vt_e2e", "-v", "2.3.4", "--no-document"}, home_.path());
        registry_.setRoute("/api/v1/versions/vt_e2e/latest.json", {.body = R"({"version": "2.4.0"})"});
    }

    // A module at three versions behind the proxy; its latest is v1.1.0 for the scan, v1.2.0
    // is listed too.
    void prepareGo() {
        const std::string module = "example.com/vtdemo";
        for (const std::string version : {"v1.0.0", "v1.1.0", "v1.2.0"}) {
            const std::string root = "zip-" + version + "/" + module + "@" + version;
            home_.write(root + "/go.mod", "module " + module + "\n\ngo 1.19\n");
            home_.write(root + "/main.go", "package main\n\nfunc main() { println(\"" + version + "\") }\n");
            run("/usr/bin/zip", {"-q", "-r", "-D", home_.file(version + ".zip"), "example.com"}, home_.file("zip-" + version));
            registry_.setRoute("/" + module + "/@v/" + version + ".info",
                               {.body = R"({"Version": ")" + version + R"(", "Time": "2024-01-01T00:00:00Z"})"});
            registry_.setRoute("/" + module + "/@v/" + version + ".mod",
                               {.body = "module " + module + "\n\ngo 1.19\n", .contentType = "text/plain; charset=utf-8"});
            registry_.setRoute("/" + module + "/@v/" + version + ".zip",
                               {.body = readFile(home_.file(version + ".zip")).value(), .contentType = "application/zip"});
        }
        registry_.setRoute("/" + module + "/@v/list", {.body = "v1.0.0\nv1.1.0\nv1.2.0\n", .contentType = "text/plain"});
        registry_.setRoute("/" + module + "/@latest", {.body = R"({"Version": "v1.1.0", "Time": "2024-02-01T00:00:00Z"})"});
        home_.write("go.env", "GOSUMDB=off\nGOPROXY=" + registry_.origin() + "\n");
        run("/usr/bin/go", {"install", module + "@v1.0.0"}, home_.path());
    }

    // A Composer repository on loopback: vt/demo within its constraint (^1.4, and 1.5.0 is
    // out), vt/major beyond it (^1.0, and 2.0.0 is out). The newer releases appear once the
    // older ones are installed.
    void prepareComposer() {
        Json packages = {{"packages", Json::object()}};
        auto release = [&](const std::string& name, const std::string& version) {
            const std::string folder = "composer-src/" + name + "-" + version;
            home_.write(folder + "/composer.json", R"({"name": ")" + name + R"(", "version": ")" + version + R"("})");
            const std::string archive = home_.file(folder + ".zip");
            run("/usr/bin/zip", {"-q", "-r", archive, "composer.json"}, home_.file(folder));
            const std::string route = "/dist/" + std::filesystem::path(archive).filename().string();
            registry_.setRoute(route, {.body = readFile(archive).value(), .contentType = "application/zip"});
            packages["packages"][name][version] = {
                {"name", name}, {"version", version}, {"dist", {{"type", "zip"}, {"url", registry_.url(route)}}}};
        };
        release("vt/demo", "1.4.0");
        release("vt/major", "1.0.0");
        registry_.setRoute("/packages.json", {.body = packages.dump()});
        home_.write("composer/composer.json",
                    R"({"repositories": [{"type": "composer", "url": ")" + registry_.origin() +
                        R"("}, {"packagist.org": false}], "config": {"secure-http": false},
                        "require": {"vt/demo": "^1.4", "vt/major": "^1.0"}})");
        run("/usr/bin/composer", {"global", "update", "--no-interaction", "--no-progress"}, home_.path());
        release("vt/demo", "1.5.0");
        release("vt/major", "2.0.0");
        registry_.setRoute("/packages.json", {.body = packages.dump()});
    }

    // The real cargo (Debian's, else rustup's), installing from vendored crates offline.
    void prepareCargo() {
        std::string cargo = "/usr/bin/cargo";
        if (!std::filesystem::exists(cargo)) {
            const std::string rustup = paths::environmentValue("HOME").value_or("") + "/.cargo/bin/rustup";
            if (!std::filesystem::exists(rustup)) return;  // the other three are still tested
            // rustup's proxies run the toolchain named by their own name.
            std::filesystem::create_directories(home_.file(".cargo/bin"));
            std::filesystem::create_symlink(rustup, home_.file(".cargo/bin/cargo"));
            std::filesystem::create_symlink(rustup, home_.file(".cargo/bin/rustc"));
            environment_["RUSTUP_HOME"] = paths::environmentValue("HOME").value_or("") + "/.rustup";
            cargo = home_.file(".cargo/bin/cargo");
        }
        for (const char* version : {"0.1.0", "0.2.0", "0.3.0"}) {
            const std::string crate = std::string("vendor/vt-demo-") + version;
            home_.write(crate + "/Cargo.toml",
                        std::string("[package]\nname = \"vt-demo\"\nversion = \"") + version + "\"\nedition = \"2021\"\n");
            home_.write(crate + "/src/main.rs", "fn main() {}\n");
            home_.write(crate + "/.cargo-checksum.json", R"({"files": {}, "package": null})");
        }
        home_.write(".cargo/config.toml", "[source.crates-io]\nreplace-with = \"vendored\"\n[source.vendored]\ndirectory = \"" +
                                              home_.file("vendor") + "\"\n[net]\noffline = true\n");
        environment_["CARGO_HOME"] = home_.file(".cargo");
        environment_["CARGO_TARGET_DIR"] = home_.file("cargo-target");
        run(cargo, {"install", "vt-demo", "--version", "0.1.0"}, home_.path());
        registry_.setRoute("/api/v1/crates/vt-demo",
                           {.body = R"({"crate": {"max_stable_version": "0.2.0"}, "versions": [{"num": "0.2.0", "bin_names": ["vt-demo"]}]})"});
        hasCargo_ = true;
    }

    // A tool of the sandbox, as the adapters will run it; the setup fails when it does.
    void run(const std::string& tool, std::vector<std::string> arguments, const std::string& directory) {
        std::map<std::string, std::string> environment = environment_;
        environment["HOME"] = home_.path();
        environment["PATH"] = home_.file(".cargo/bin") + ":/usr/bin:/bin";
        environment["COMPOSER_ALLOW_SUPERUSER"] = "1";
        CommandRequest request{.command = tool, .arguments = std::move(arguments), .environment = environment,
                               .timeout = 240, .currentDirectory = directory, .allowNonZeroExit = true};
        ShellCommandResult result = runner_.execute(request);
        ASSERT_EQ(result.exitCode, 0) << tool << ": " << result.standardOutput << result.standardError;
    }

    std::map<std::string, Json> scan() {
        auto result = runVantreel({{"--accept-terms", "scan", "--json"}, home_.path(), environment_, std::nullopt, 240});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return testing::itemsByKey(testing::jsonOf(result));
    }

    CommandRunner runner_;
    testing::TempDir home_{"vt-language-updates-e2e"};
    testing::LoopbackServer registry_;
    std::map<std::string, std::string> environment_;
    bool hasCargo_ = false;
};

TEST_F(LanguageUpdatesE2ETest, EachToolInstallsTheVersionTheScanShowed) {
    std::map<std::string, Json> items = scan();
    ASSERT_EQ(items["package:ruby gems:vt_e2e"].value("latestVersion", ""), "2.4.0");
    ASSERT_EQ(items["package:go:vtdemo"].value("latestVersion", ""), "v1.1.0");
    ASSERT_EQ(items["package:composer:vt/demo"].value("latestVersion", ""), "1.5.0");
    ASSERT_EQ(items["package:composer:vt/major"].value("latestVersion", ""), "2.0.0");
    if (hasCargo_) {
        ASSERT_EQ(items["package:cargo (rust):vt-demo"].value("latestVersion", ""), "0.2.0");
    }

    std::vector<std::string> arguments = {"--accept-terms", "update", "--yes", "vt_e2e", "vtdemo", "vt/demo", "vt/major"};
    if (hasCargo_) arguments.push_back("vt-demo");
    auto update = runVantreel({arguments, home_.path(), environment_, std::nullopt, 600});
    EXPECT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;

    items = scan();
    EXPECT_EQ(items["package:ruby gems:vt_e2e"]["version"], "2.4.0");  // not 3.0.0
    EXPECT_EQ(items["package:go:vtdemo"]["version"], "v1.1.0");        // not v1.2.0
    EXPECT_EQ(items["package:composer:vt/demo"]["version"], "1.5.0");
    EXPECT_EQ(items["package:composer:vt/major"]["version"], "2.0.0");
    // The new major version is required as `composer require` would write it.
    EXPECT_NE(readFile(home_.file("composer/composer.json")).value_or("").find("\"vt/major\": \"^2.0.0\""),
              std::string::npos);
    if (hasCargo_) {
        EXPECT_EQ(items["package:cargo (rust):vt-demo"]["version"], "0.2.0");  // not 0.3.0
    }
}

}  // namespace
}  // namespace vt
