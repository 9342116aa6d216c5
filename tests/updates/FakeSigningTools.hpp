#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "base/Files.hpp"
#include "support/TempDir.hpp"
#include "updates/InstallTools.hpp"

namespace vt::test {

// codesign, spctl and xattr stand-ins. Each logs its arguments to `calls` and then runs the
// shell lines a bundle holds for it ("Contents/fake-codesign-verify", "...-team",
// "fake-spctl", "fake-xattr"), so that each bundle of a test says what the tools answer about
// it. A bundle without such lines is accepted, with no Team ID. hdiutil is absent, as here.
class FakeSigningTools {
public:
    FakeSigningTools() {
        const std::string calls = dir_.file("calls");
        auto script = [&](const std::string& name, const std::string& choose) {
            std::string text = "#!/bin/sh\nfor bundle; do :; done\necho \"" + name + " $*\" >> '" + calls + "'\n";
            text += choose;
            text += "[ -f \"$bundle/Contents/fake-$f\" ] && . \"$bundle/Contents/fake-$f\"\nexit 0\n";
            return dir_.writeExecutable(name, text);
        };
        tools.codesign = script("codesign", "case \"$1\" in --verify) f=codesign-verify;; *) f=codesign-team;; esac\n");
        tools.spctl = script("spctl", "f=spctl\n");
        tools.xattr = script("xattr", "f=xattr\n");
        tools.hdiutil = dir_.file("hdiutil-absent");
    }

    // The tools for a `vantreel` child process.
    std::map<std::string, std::string> environment() const {
        return {{"VANTREEL_TOOL_CODESIGN", tools.codesign},
                {"VANTREEL_TOOL_SPCTL", tools.spctl},
                {"VANTREEL_TOOL_XATTR", tools.xattr},
                {"VANTREEL_TOOL_HDIUTIL", tools.hdiutil}};
    }

    std::string calls() const { return readFile(dir_.file("calls")).value_or(""); }

    // What a tool answers about a bundle: exit status and what it prints (on standard error).
    static void answer(const std::string& bundle, const std::string& tool, int status, const std::string& printed = {}) {
        std::string lines;
        if (!printed.empty()) lines += "printf '%s\\n' '" + printed + "' >&2\n";
        lines += "exit " + std::to_string(status) + "\n";
        std::ofstream(bundle + "/Contents/fake-" + tool) << lines;
    }
    static void team(const std::string& bundle, const std::string& teamID) {
        answer(bundle, "codesign-team", 0, "Identifier=x\nTeamIdentifier=" + teamID);
    }

    // A bundle with an Info.plist giving its version and build.
    static std::string infoPlist(const std::string& version, const std::string& build = {}) {
        std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>CFBundleIdentifier</key><string>org.example.foo</string>"
                            "<key>CFBundleShortVersionString</key><string>" + version + "</string>";
        if (!build.empty()) plist += "<key>CFBundleVersion</key><string>" + build + "</string>";
        plist += "</dict></plist>\n";
        return plist;
    }
    static std::string makeBundle(const std::string& path, const std::string& version, const std::string& build = {}) {
        std::filesystem::create_directories(path + "/Contents/MacOS");
        std::ofstream(path + "/Contents/Info.plist") << infoPlist(version, build);
        std::ofstream(path + "/Contents/MacOS/Foo") << "#!/bin/sh\necho " + version + "\n";
        return path;
    }

    InstallTools tools;

private:
    testing::TempDir dir_{"vt-signing"};
};

}  // namespace vt::test
