#include "support/AptRoot.hpp"

#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunner.hpp"

namespace vt::testing {

namespace {

std::string statusEntry(const std::string& name, const std::string& version, const std::string& want) {
    return "Package: " + name + "\nStatus: " + want + " ok installed\nPriority: optional\nSection: misc\n" +
           "Maintainer: Test <test@example.org>\nArchitecture: all\nVersion: " + version + "\nDescription: test\n\n";
}

std::string archiveEntry(const std::string& name, const std::string& version) {
    return "Package: " + name + "\nVersion: " + version + "\nArchitecture: all\n" +
           "Maintainer: Test <test@example.org>\nFilename: pool/" + name + ".deb\nSize: 1\n" +
           "MD5sum: d41d8cd98f00b204e9800998ecf8427e\nDescription: test\n\n";
}

std::string release(const std::string& label, const std::string& suite, const std::string& codename) {
    return "Origin: VT\nLabel: " + label + "\nSuite: " + suite + "\nCodename: " + codename +
           "\nVersion: 12\nArchitectures: all\nComponents: main\nDate: Sat, 01 Jan 2022 00:00:00 UTC\n";
}

ShellCommandResult runApt(const AptRoot* root, const std::string& tool, std::vector<std::string> arguments,
                          const std::vector<std::string>& wrapper = {}) {
    CommandRequest request{.command = tool,
                           .arguments = std::move(arguments),
                           .environment = {{"LC_ALL", "C"}},
                           .timeout = 120,
                           .allowNonZeroExit = true};
    if (!wrapper.empty()) {
        request.arguments.insert(request.arguments.begin(), tool);
        request.arguments.insert(request.arguments.begin(), wrapper.begin() + 1, wrapper.end());
        request.command = wrapper.front();
    }
    if (root != nullptr) request.environment["APT_CONFIG"] = root->configFile();
    return CommandRunner::shared().execute(request);
}

}  // namespace

AptRoot::AptRoot() {
    const std::string root = dir_.path();
    dir_.write("etc/apt/sources.list", "deb [trusted=yes] file:" + root + "/repo stable main\n" +
                                           "deb [trusted=yes] file:" + root + "/repo stable-security main\n");
    dir_.write("etc/apt/preferences.d/pin", "Package: pinned\nPin: version 1.0*\nPin-Priority: 1001\n");
    dir_.makeFolder("etc/apt/apt.conf.d");
    dir_.write("var/lib/dpkg/status", statusEntry("plain", "1.0-1", "install") + statusEntry("secfix", "2.0-1", "install") +
                                          statusEntry("pinned", "1.0-1", "install") + statusEntry("held", "1.0-1", "hold") +
                                          statusEntry("debrev", "1.65.2", "install") +
                                          statusEntry("epoch", "1:2.66-4+deb12u2+b2", "install") +
                                          statusEntry("current", "3.0", "install") +
                                          statusEntry("tilde", "1.0~rc1", "install"));
    dir_.makeFolder("var/lib/apt/lists/partial");
    dir_.makeFolder("var/cache/apt/archives/partial");
    dir_.write("repo/dists/stable/Release", release("VT", "stable", "bookworm"));
    dir_.write("repo/dists/stable/main/binary-all/Packages",
               archiveEntry("plain", "1.1-1") + archiveEntry("secfix", "2.0-1") + archiveEntry("pinned", "2.0-1") +
                   archiveEntry("held", "1.1-1") + archiveEntry("debrev", "1.65.2+deb12u1") +
                   archiveEntry("epoch", "1:2.66-4+deb12u3+b1") + archiveEntry("current", "3.0") +
                   archiveEntry("tilde", "1.0"));
    dir_.write("repo/dists/stable-security/Release", release("VT-Security", "stable-security", "bookworm-security"));
    dir_.write("repo/dists/stable-security/main/binary-all/Packages", archiveEntry("secfix", "2.0-1+deb12u1"));
    // Everything under the root; root's own downloads need no unprivileged sandbox user.
    dir_.write("apt.conf", "Dir \"" + root + "/\";\nDir::State::status \"" + root + "/var/lib/dpkg/status\";\n" +
                               "APT::Sandbox::User \"root\";\n");
    ShellCommandResult update = runApt(this, "/usr/bin/apt-get", {"update"});
    if (update.exitCode != 0) setupFailure_ = update.standardError + update.standardOutput;
}

std::map<std::string, AptRoot::Upgrade> AptRoot::aptList(const AptRoot* root) {
    // "secfix/stable-security 2.0-1+deb12u1 all [upgradable from: 2.0-1]"
    static const Regex line(R"(^([^/\s]+)/(\S+) (\S+) \S+ \[upgradable from: ([^\]]+)\])");
    std::map<std::string, Upgrade> upgrades;
    const ShellCommandResult listed = runApt(root, "/usr/bin/apt", {"list", "--upgradable"});
    for (std::string_view text : splitLines(listed.standardOutput)) {
        auto match = line.search(text);
        if (!match) continue;
        bool security = false;
        for (std::string_view suite : split(*match->groups[1], ',')) security = security || endsWith(suite, "-security");
        upgrades[std::string(*match->groups[0])] = {std::string(*match->groups[3]), std::string(*match->groups[2]),
                                                    security};
    }
    return upgrades;
}

std::map<std::string, AptRoot::Upgrade> AptRoot::simulatedUpgrade(const AptRoot* root,
                                                                  const std::vector<std::string>& wrapper) {
    // "Inst secfix [2.0-1] (2.0-1+deb12u1 VT-Security:12/stable-security [all])"
    static const Regex inst(R"(^Inst (\S+) \[(\S+)\] \((\S+) ([^)]*)\))");
    std::map<std::string, Upgrade> upgrades;
    ShellCommandResult result = runApt(root, "/usr/bin/apt-get", {"-s", "-o", "Debug::NoLocking=1", "dist-upgrade"}, wrapper);
    for (std::string_view text : splitLines(result.standardOutput)) {
        auto match = inst.search(text);
        if (!match) continue;
        upgrades[std::string(*match->groups[0])] = {std::string(*match->groups[1]), std::string(*match->groups[2]),
                                                    contains(*match->groups[3], "-security ")};
    }
    return upgrades;
}

}  // namespace vt::testing
