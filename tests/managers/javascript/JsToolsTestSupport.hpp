#pragma once

// Shared by the pnpm, Yarn, Bun and Deno tests: the recorded outputs under
// tests/managers/fixtures/{pnpm,yarn,bun,deno}, and a sandbox prefix holding the real tools.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/Files.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt::jstest {

using testing::fixture;
using testing::fixturePath;

// One recorded run: NAME.stdout (and NAME.stderr when it printed any), the exit status
// taken from the header line's "(exit N)".
struct Recording {
    std::string standardOutput;
    std::string standardError;
    int exitCode = 0;
};

inline Recording recording(std::string_view tool, std::string_view name) {
    const std::string base(name);
    std::optional<std::string> out = readFile(fixturePath(tool, base + ".stdout"));
    if (!out) throw std::runtime_error("missing recording " + fixturePath(tool, base + ".stdout"));
    Recording result;
    const std::string header = out->substr(0, out->find('\n'));
    if (auto at = header.rfind("(exit "); at != std::string::npos) result.exitCode = std::stoi(header.substr(at + 6));
    result.standardOutput = fixture(tool, base + ".stdout");
    if (readFile(fixturePath(tool, base + ".stderr"))) result.standardError = fixture(tool, base + ".stderr");
    return result;
}

inline testing::FakeCommandRunner::Response recorded(std::string_view tool, std::string_view name) {
    Recording run = recording(tool, name);
    return testing::FakeCommandRunner::Response::output(run.standardOutput, run.exitCode, run.standardError);
}

// ---- The real tools --------------------------------------------------------------------

// The folder of executables of a prefix where npm installed pnpm 10, Yarn 1.22 and Bun:
// $VANTREEL_JS_TOOLS_PREFIX when set, else the one the online test installs into the
// temporary folder (kept between runs so that the download happens once per machine).
inline std::string sharedToolsPrefix() {
    if (auto set = paths::environmentValue("VANTREEL_JS_TOOLS_PREFIX")) return *set;
    return (std::filesystem::temp_directory_path() / "vantreel-js-tools-v1").string();
}

inline std::optional<std::string> toolInPrefix(const std::string& prefix, std::string_view tool) {
    const std::string path = prefix + "/node_modules/.bin/" + std::string(tool);
    if (SystemFileSystemManager().isExecutableFile(path)) return path;
    return std::nullopt;
}

// Installs the tools with npm (the machine's npm, its configuration and its network
// settings) unless the prefix already has them. Returns why not when it cannot.
inline std::optional<std::string> installToolsPrefix(CommandRunner& runner) {
    const std::string prefix = sharedToolsPrefix();
    if (toolInPrefix(prefix, "pnpm") && toolInPrefix(prefix, "yarn") && toolInPrefix(prefix, "bun"))
        return std::nullopt;
    SystemFileSystemManager files;
    std::optional<std::string> npm = ExecutableLocator(files).locate("npm");
    if (!npm) return "npm not found";
    // Installed beside the final folder and renamed into place, so that two test processes
    // never see a half-installed prefix.
    const std::string staging = prefix + ".staging-" + std::to_string(::getpid());
    CommandRequest request;
    request.command = *npm;
    request.arguments = {"install", "--prefix", staging, "--no-audit", "--no-fund", "pnpm@10", "yarn@1.22", "bun"};
    request.timeout = 280;
    request.allowNonZeroExit = true;
    request.environment["PATH"] = npm->substr(0, npm->rfind('/')) + ":" + runner.defaultEnvironment().at("PATH");
    ShellCommandResult result;
    try {
        result = runner.execute(request);
    } catch (const std::exception& error) {
        std::filesystem::remove_all(staging);
        return std::string("npm install: ") + error.what();
    }
    if (result.exitCode != 0) {
        std::filesystem::remove_all(staging);
        return "npm install failed: " + trim(result.standardError).substr(0, 400);
    }
    std::error_code ignored;
    std::filesystem::rename(staging, prefix, ignored);
    std::filesystem::remove_all(staging, ignored);  // another process was first
    if (!toolInPrefix(prefix, "pnpm")) return "npm installed no pnpm";
    return std::nullopt;
}

// Writes $HOME/.local/bin/TOOL as a link to the prefix's tool, the way a user's shell would
// find it; false when the prefix has no such tool.
inline bool linkTool(const std::string& home, const std::string& prefix, std::string_view tool) {
    std::optional<std::string> path = toolInPrefix(prefix, tool);
    if (!path) return false;
    std::filesystem::create_directories(home + "/.local/bin");
    std::error_code ignored;
    std::filesystem::create_symlink(*path, home + "/.local/bin/" + std::string(tool), ignored);
    return true;
}

// Yarn 1 run as root keeps its globals and its cache under /usr/local/share; a sandbox home
// gets the layout of an ordinary user instead.
inline void writeYarnrc(const std::string& home) {
    std::ofstream(home + "/.yarnrc") << "global-folder \"" << home << "/.config/yarn/global\"\nprefix \"" << home
                                     << "/.yarn\"\ncache-folder \"" << home << "/.cache/yarn\"\n";
}

}  // namespace vt::jstest
