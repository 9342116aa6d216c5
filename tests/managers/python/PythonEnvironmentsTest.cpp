#include "managers/python/PythonEnvironments.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "PipTestSupport.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using Kind = PythonEnvironments::Kind;

// A machine in a folder: Debian's Python (reached through /bin too), pyenv with its global
// version, a Python 2 and a shim, Homebrew's Python under two names, and a virtual
// environment made from the system's Python.
struct Machine {
    testing::TempDir root{"vt-pythons"};

    std::string python(const std::string& folder, const std::string& version) {
        std::string real = root.writeExecutable(folder + "/python" + version, "#!/bin/sh\n");
        fs::create_symlink("python" + version, root.file(folder + "/python3"));
        return real;
    }
    void pip(const std::string& folder, const std::string& name, const std::string& interpreter) {
        root.writeExecutable(folder + "/" + name, "#!" + interpreter + "\nimport pip\n");
    }

    Machine() {
        python("usr/bin", "3.11");
        pip("usr/bin", "pip3", root.file("usr/bin/python3"));
        root.write("usr/lib/python3.11/EXTERNALLY-MANAGED",
                   piptest::corpus("EXTERNALLY-MANAGED.debian12-python3.11"));
        root.makeFolder("usr/lib/python3/dist-packages");
        fs::create_symlink("usr/bin", root.file("bin"));

        python("pyenv/versions/3.11.7/bin", "3.11");
        pip("pyenv/versions/3.11.7/bin", "pip3", root.file("pyenv/versions/3.11.7/bin/python3.11"));
        root.makeFolder("pyenv/versions/3.11.7/lib/python3.11/site-packages");
        python("pyenv/versions/3.12.1/bin", "3.12");
        root.writeExecutable("pyenv/versions/2.7.18/bin/python2.7", "#!/bin/sh\n");
        fs::create_symlink("python2.7", root.file("pyenv/versions/2.7.18/bin/python"));
        root.writeExecutable("pyenv/shims/python3", "#!/usr/bin/env bash\nexec pyenv exec python3 \"$@\"\n");
        root.write("pyenv/version", "3.11.7\n");

        root.writeExecutable("brew/bin/brew", "#!/bin/sh\n");
        python("brew/Cellar/python@3.12/3.12.8/bin", "3.12");
        fs::create_symlink("../Cellar/python@3.12/3.12.8/bin/python3.12", root.file("brew/bin/python3.12"));
        fs::create_symlink("python3.12", root.file("brew/bin/python3"));
        // Another Python's pip in the same folder is not this one's.
        pip("brew/bin", "pip3", "/elsewhere/bin/python3.13");
        pip("brew/bin", "pip3.12", root.file("brew/bin/python3.12"));
        root.makeFolder("brew/lib/python3.12/site-packages");

        root.makeFolder("venvs/project/bin");
        fs::create_symlink(root.file("usr/bin/python3"), root.file("venvs/project/bin/python3"));
        root.write("venvs/project/pyvenv.cfg", "home = /usr/bin\nversion = 3.11.2\n");
        root.makeFolder("venvs/project/lib/python3.11/site-packages");
    }

    PythonEnvironments::Options options() {
        return {.home = root.file("home"), .pyenvRoot = root.file("pyenv"), .asdfRoot = root.file("none"),
                .miseRoot = root.file("none"), .uvPythonRoot = root.file("none"), .virtualenvRoot = root.file("venvs"),
                .frameworkRoots = std::vector<std::string>{},
                .homebrewPrefixes = std::vector<std::string>{root.file("brew")},
                .appleInterpreters = std::vector<std::string>{},
                .systemInterpreters = std::vector<std::string>{root.file("usr/bin/python3"), root.file("bin/python3")},
                .appleStubMarker = root.file("no-xcode-select"),
                .userInterpreters = {root.file("pyenv/shims/python3"), root.file("bin/python3")}};
    }
};

TEST(PythonEnvironmentsTest, FindsEachEnvironmentOnceInPriorityOrder) {
    Machine machine;
    std::vector<PythonEnvironments::Environment> found = PythonEnvironments(machine.options()).find();

    std::vector<std::string> interpreters;
    for (const auto& environment : found) interpreters.push_back(environment.interpreter);
    EXPECT_EQ(interpreters, (std::vector<std::string>{
                                machine.root.file("venvs/project/bin/python3"),
                                machine.root.file("pyenv/versions/3.11.7/bin/python3"),
                                machine.root.file("pyenv/versions/3.12.1/bin/python3"),
                                machine.root.file("brew/bin/python3"),
                                // The user's PATH led to /bin/python3: Debian's, ranked as the system's.
                                machine.root.file("bin/python3"),
                            }));
    ASSERT_EQ(found.size(), 5u);
    const auto& venv = found[0];
    EXPECT_EQ(venv.kind, Kind::User);
    EXPECT_TRUE(venv.isVirtual);
    EXPECT_FALSE(venv.isExternallyManaged);  // made from the managed Python, but the user's
    EXPECT_EQ(venv.version, "3.11");
    EXPECT_EQ(venv.siteFolders,
              std::vector<std::string>{machine.root.file("venvs/project/lib/python3.11/site-packages")});

    EXPECT_EQ(found[1].kind, Kind::VersionManager);
    EXPECT_EQ(found[1].pip, machine.root.file("pyenv/versions/3.11.7/bin/pip3"));
    EXPECT_EQ(found[2].pip, std::nullopt);

    const auto& brew = found[3];
    EXPECT_EQ(brew.kind, Kind::Homebrew);
    EXPECT_EQ(brew.version, "3.12");
    EXPECT_EQ(brew.pip, machine.root.file("brew/bin/pip3.12"));
    EXPECT_FALSE(brew.isExternallyManaged);

    const auto& system = found[4];
    EXPECT_EQ(system.kind, Kind::System);
    EXPECT_TRUE(system.isExternallyManaged);
    EXPECT_EQ(fs::path(system.standardLibrary).filename(), "python3.11");
    EXPECT_EQ(system.pip, machine.root.file("bin/pip3"));

    testing::TempDir folder;
    EXPECT_EQ(PythonEnvironments::interpreterOfScript(folder.write("pip3", "#!/usr/bin/python3\n")),
              "/usr/bin/python3");
    EXPECT_EQ(PythonEnvironments::interpreterOfScript(folder.write("pip", "#!/opt/py/bin/python3.12 -E\n")),
              "/opt/py/bin/python3.12");
    EXPECT_EQ(PythonEnvironments::interpreterOfScript(folder.write("shim", "#!/usr/bin/env bash\n")), std::nullopt);
    EXPECT_EQ(PythonEnvironments::interpreterOfScript(folder.write("env", "#!/usr/bin/env python3\n")), std::nullopt);
    EXPECT_EQ(PythonEnvironments::interpreterOfScript(folder.file("missing")), std::nullopt);
}

TEST(PythonEnvironmentsTest, SkipsTheSystemStubOfAMacWithoutDeveloperTools) {
    Machine machine;
    PythonEnvironments::Options options = machine.options();
    options.appleStubMarker = machine.root.write("xcode-select", "");
    options.userInterpreters.clear();
    const auto environments = PythonEnvironments(options).find();
    // The others are still found: the stub alone is left out.
    ASSERT_FALSE(environments.empty());
    for (const auto& environment : environments) {
        EXPECT_NE(environment.kind, Kind::System) << environment.interpreter;
    }
}

}  // namespace
}  // namespace vt
