#pragma once

// Shared by the pip and pipx adapters' tests: fixtures, the recorded pip outputs and two
// environments like the ones they were recorded in.

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "base/Strings.hpp"
#include "managers/python/PythonEnvironments.hpp"
#include "support/Corpus.hpp"
#include "support/Fixtures.hpp"

namespace vt::piptest {

using testing::fixture;

// A file of the shared corpus of real pip outputs.
inline std::string corpus(std::string_view name) { return testing::corpusFile("python/" + std::string(name)); }

// Where the corpus was recorded: a pyenv Python on PATH and Debian's own, which the
// operating system manages.
inline const std::string kPyenv = "/home/user/.pyenv/versions/3.11.7/bin/python3";
inline const std::string kSystem = "/usr/bin/python3";

inline PythonEnvironments::Environment pyenvEnvironment() {
    const std::string prefix = "/home/user/.pyenv/versions/3.11.7";
    return {.interpreter = kPyenv, .kind = PythonEnvironments::Kind::VersionManager, .prefix = prefix, .version = "3.11",
            .pip = prefix + "/bin/pip3", .standardLibrary = prefix + "/lib/python3.11",
            .siteFolders = {prefix + "/lib/python3.11/site-packages"}};
}

inline PythonEnvironments::Environment systemEnvironment() {
    return {.interpreter = kSystem, .kind = PythonEnvironments::Kind::System, .prefix = "/usr", .version = "3.11",
            .pip = "/usr/bin/pip3", .standardLibrary = "/usr/lib/python3.11",
            .siteFolders = {"/usr/lib/python3/dist-packages"}, .isExternallyManaged = true};
}

}  // namespace vt::piptest

#include "system/CommandRunning.hpp"

namespace vt::piptest {

// Writes a pure-Python wheel with one console script (what pipx insists on) into a folder and
// returns its path; made by Python's own zipfile module, so no index is needed.
inline std::string buildWheel(CommandRunning& runner, const std::string& name, const std::string& version,
                              const std::string& folder) {
    static const char* kScript = R"(import sys, zipfile, hashlib, base64, os
name, version, out = sys.argv[1:4]
mod = name.replace('-', '_')
info = f"{mod}-{version}.dist-info"
files = {
    f"{mod}/__init__.py": f"def main():\n    print('{name} {version}')\n",
    f"{info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
    f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: vt-test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    f"{info}/entry_points.txt": f"[console_scripts]\n{name} = {mod}:main\n",
}
record = []
for path, text in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b'=').decode()
    record.append(f"{path},sha256={digest},{len(text.encode())}")
files[f"{info}/RECORD"] = "\n".join(record + [f"{info}/RECORD,,"]) + "\n"
path = os.path.join(out, f"{mod}-{version}-py3-none-any.whl")
with zipfile.ZipFile(path, "w") as wheel:
    for member, text in files.items():
        wheel.writestr(member, text)
print(path)
)";
    return trim(runner.execute({.command = "/usr/bin/env", .arguments = {"python3", "-c", kScript, name, version, folder},
                                .timeout = 60})
                    .standardOutput);
}

}  // namespace vt::piptest
