#include "managers/python/PythonEnvironments.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include <unistd.h>

#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace fs = std::filesystem;

namespace {

bool isFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

bool isFolder(const std::string& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

bool isExecutable(const std::string& path) {
    return isFile(path) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The folder with symbolic links resolved, or the path as it is when that fails.
std::string canonicalFolder(const std::string& folder) {
    std::error_code error;
    fs::path resolved = fs::canonical(folder, error);
    return error ? fs::path(folder).lexically_normal().string() : resolved.string();
}

// Follows every link of the interpreter: a virtual environment's python3 leads to its base
// interpreter, /usr/bin/python3 to python3.11.
std::string resolvedFile(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::canonical(path, error);
    return error ? path : resolved.string();
}

std::string parentOf(const std::string& path) {
    return fs::path(path).parent_path().string();
}

// "python3.11" gives "3.11".
std::string versionFromName(std::string_view name) {
    if (!startsWith(name, "python")) return "";
    std::string_view rest = name.substr(6);
    if (rest.size() < 3 || rest.find('.') == std::string_view::npos) return "";
    for (char c : rest) {
        if (!(std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.')) return "";
    }
    return std::string(rest);
}

// The only "pythonX.Y" folder under prefix/lib, or "".
std::string versionFromLibrary(const std::string& prefix) {
    std::string found;
    for (const std::string& name : folderNames(prefix + "/lib")) {
        std::string version = versionFromName(name);
        if (version.empty()) continue;
        if (!found.empty()) return "";
        found = version;
    }
    return found;
}

// "version = 3.11.2" (or version_info) of a virtual environment's pyvenv.cfg, as "3.11".
std::string versionFromVenvConfig(const std::string& configPath) {
    std::ifstream file(configPath);
    std::string line;
    while (std::getline(file, line)) {
        std::string_view text = trimView(line);
        if (!startsWith(text, "version")) continue;
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        std::string value = trim(text.substr(equals + 1));
        std::vector<std::string_view> parts = split(value, '.');
        if (parts.size() >= 2) return std::string(parts[0]) + "." + std::string(parts[1]);
    }
    return "";
}

std::vector<std::string> pythonNamesNewestFirst(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : folderNames(folder)) {
        std::string version = versionFromName(name);
        if (!version.empty() && startsWith(version, "3.")) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return compareVersions(a.substr(6), b.substr(6)) == VersionOrder::Descending;
    });
    return names;
}

bool isUnder(const std::string& path, const std::string& root) {
    if (root.empty()) return false;
    std::string base = root.back() == '/' ? root : root + "/";
    return startsWith(path, base);
}

}  // namespace

PythonEnvironments::PythonEnvironments() : PythonEnvironments(Options{}) {}

PythonEnvironments::PythonEnvironments(Options options) : options_(std::move(options)) {
    Options& o = options_;
    if (o.home.empty()) o.home = paths::home();
    auto fromEnvironment = [](const char* variable, const std::string& fallback) {
        std::optional<std::string> value = paths::environmentValue(variable);
        return value && startsWith(*value, "/") ? *value : fallback;
    };
    if (!o.pyenvRoot) o.pyenvRoot = fromEnvironment("PYENV_ROOT", o.home + "/.pyenv");
    if (!o.asdfRoot) o.asdfRoot = fromEnvironment("ASDF_DATA_DIR", o.home + "/.asdf");
    const std::string dataHome = fromEnvironment("XDG_DATA_HOME", o.home + "/.local/share");
    if (!o.miseRoot) o.miseRoot = fromEnvironment("MISE_DATA_DIR", dataHome + "/mise");
    if (!o.uvPythonRoot) o.uvPythonRoot = fromEnvironment("UV_PYTHON_INSTALL_DIR", dataHome + "/uv/python");
    if (!o.virtualenvRoot) o.virtualenvRoot = fromEnvironment("WORKON_HOME", o.home + "/.virtualenvs");
    if (!o.frameworkRoots) o.frameworkRoots = std::vector<std::string>{"/Library/Frameworks/Python.framework/Versions"};
    if (!o.homebrewPrefixes) o.homebrewPrefixes = BrewManager::defaultPrefixes();
    if (!o.appleInterpreters) {
        o.appleInterpreters = std::vector<std::string>{"/Library/Developer/CommandLineTools/usr/bin/python3",
                                                       "/Applications/Xcode.app/Contents/Developer/usr/bin/python3"};
    }
    if (!o.systemInterpreters) o.systemInterpreters = std::vector<std::string>{"/usr/bin/python3", "/bin/python3"};
    if (!o.appleStubMarker) o.appleStubMarker = "/usr/bin/xcode-select";
}

std::vector<PythonEnvironments::Environment> PythonEnvironments::find() const {
    std::vector<Candidate> all = candidates();
    std::stable_sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
        return static_cast<int>(a.kind) < static_cast<int>(b.kind);
    });
    std::vector<Environment> environments;
    std::set<std::string> seen;
    for (const Candidate& candidate : all) {
        std::optional<Environment> environment = describe(candidate.interpreter, candidate.kind);
        if (!environment) continue;
        // One prefix may hold several Pythons (Homebrew's 3.11 and 3.12), each with its own
        // packages; one Python reached by two paths is one environment.
        if (!seen.insert(canonicalFolder(environment->prefix) + "|" + environment->version).second) continue;
        environments.push_back(std::move(*environment));
    }
    return environments;
}

std::vector<PythonEnvironments::Candidate> PythonEnvironments::candidates() const {
    std::vector<Candidate> out;
    addUserCandidates(out);
    addVersionManagerCandidates(out);
    addHomebrewCandidates(out);
    addSystemCandidates(out);
    return out;
}

void PythonEnvironments::addUserCandidates(std::vector<Candidate>& out) const {
    for (const std::string& name : folderNames(*options_.virtualenvRoot)) {
        out.push_back({*options_.virtualenvRoot + "/" + name + "/bin/python3", Kind::User});
    }
    for (const std::string& root : *options_.frameworkRoots) {
        std::vector<std::string> versions = folderNames(root);
        std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
            return compareVersions(a, b) == VersionOrder::Descending;
        });
        for (const std::string& version : versions) {
            if (version != "Current") out.push_back({root + "/" + version + "/bin/python3", Kind::User});
        }
    }
    // The interpreter the user's own PATH leads to may be any of the others: where it lives
    // decides its rank.
    for (const std::string& interpreter : options_.userInterpreters) {
        out.push_back({interpreter, classify(interpreter, Kind::User)});
    }
}

std::vector<std::string> PythonEnvironments::pyenvVersionsInOrder() const {
    const std::string versionsFolder = *options_.pyenvRoot + "/versions";
    std::vector<std::string> versions = folderNames(versionsFolder);
    std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        return compareVersions(a, b) == VersionOrder::Descending;
    });
    // The global version file may name several versions, the first being the default.
    std::vector<std::string> global;
    std::ifstream file(*options_.pyenvRoot + "/version");
    std::string word;
    while (file >> word) {
        if (word != "system" && std::find(versions.begin(), versions.end(), word) != versions.end()) {
            global.push_back(word);
        }
    }
    std::vector<std::string> ordered = global;
    for (const std::string& version : versions) {
        if (std::find(ordered.begin(), ordered.end(), version) == ordered.end()) ordered.push_back(version);
    }
    return ordered;
}

void PythonEnvironments::addVersionManagerCandidates(std::vector<Candidate>& out) const {
    for (const std::string& version : pyenvVersionsInOrder()) {
        out.push_back({*options_.pyenvRoot + "/versions/" + version + "/bin/python3", Kind::VersionManager});
    }
    auto installs = [&](const std::string& folder) {
        std::vector<std::string> versions = folderNames(folder);
        std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
            return compareVersions(a, b) == VersionOrder::Descending;
        });
        for (const std::string& version : versions) {
            out.push_back({folder + "/" + version + "/bin/python3", Kind::VersionManager});
        }
    };
    installs(*options_.asdfRoot + "/installs/python");
    installs(*options_.miseRoot + "/installs/python");
    installs(*options_.uvPythonRoot);
}

void PythonEnvironments::addHomebrewCandidates(std::vector<Candidate>& out) const {
    for (const std::string& prefix : *options_.homebrewPrefixes) {
        const std::string bin = prefix + "/bin";
        if (!isExecutable(bin + "/python3") && pythonNamesNewestFirst(bin).empty()) continue;
        // /usr/local/bin/python3 of a Linux source build is the user's, not Homebrew's.
        auto kindOf = [&](const std::string& interpreter) {
            bool brewed = isExecutable(prefix + "/bin/brew") || contains(resolvedFile(interpreter), "/Cellar/");
            return brewed ? Kind::Homebrew : Kind::User;
        };
        out.push_back({bin + "/python3", kindOf(bin + "/python3")});
        for (const std::string& name : pythonNamesNewestFirst(bin))
            out.push_back({bin + "/" + name, kindOf(bin + "/" + name)});
    }
}

void PythonEnvironments::addSystemCandidates(std::vector<Candidate>& out) const {
    for (const std::string& interpreter : *options_.appleInterpreters) out.push_back({interpreter, Kind::System});
    if (!options_.appleStubMarker->empty() && isFile(*options_.appleStubMarker)) return;
    for (const std::string& interpreter : *options_.systemInterpreters) out.push_back({interpreter, Kind::System});
}

PythonEnvironments::Kind PythonEnvironments::classify(const std::string& interpreter, Kind fallback) const {
    const std::string resolved = resolvedFile(interpreter);
    for (const std::string& apple : *options_.appleInterpreters) {
        if (isUnder(interpreter, parentOf(parentOf(parentOf(apple))))) return Kind::System;
    }
    for (const std::string& system : *options_.systemInterpreters) {
        if (canonicalFolder(parentOf(interpreter)) == canonicalFolder(parentOf(system))) return Kind::System;
    }
    for (const std::string& prefix : *options_.homebrewPrefixes) {
        if (isUnder(interpreter, prefix) && (contains(resolved, "/Cellar/") || isExecutable(prefix + "/bin/brew"))) {
            return Kind::Homebrew;
        }
    }
    for (const std::string& root :
         {*options_.pyenvRoot, *options_.asdfRoot, *options_.miseRoot, *options_.uvPythonRoot}) {
        if (isUnder(interpreter, root)) return Kind::VersionManager;
    }
    return fallback;
}

std::optional<PythonEnvironments::Environment> PythonEnvironments::describe(const std::string& interpreter,
                                                                            Kind kind) const {
    if (!startsWith(interpreter, "/") || !isExecutable(interpreter)) return std::nullopt;
    // A pyenv shim is a shell script choosing a version at run time, not an environment.
    if (contains(interpreter, "/shims/")) return std::nullopt;
    Environment environment;
    environment.interpreter = interpreter;
    environment.kind = kind;
    const std::string bin = canonicalFolder(parentOf(interpreter));
    environment.prefix = parentOf(bin);
    environment.isVirtual = isFile(environment.prefix + "/pyvenv.cfg");

    const std::string real = resolvedFile(interpreter);
    const std::string realPrefix = parentOf(parentOf(real));
    environment.version = versionFromName(lastPathComponent(real));
    if (environment.version.empty()) environment.version = versionFromName(lastPathComponent(interpreter));
    if (environment.version.empty() && environment.isVirtual) {
        environment.version = versionFromVenvConfig(environment.prefix + "/pyvenv.cfg");
    }
    if (environment.version.empty()) environment.version = versionFromLibrary(realPrefix);
    if (startsWith(environment.version, "2.") || environment.version == "2") return std::nullopt;

    if (!environment.version.empty()) {
        environment.standardLibrary = realPrefix + "/lib/python" + environment.version;
        const std::string v = "python" + environment.version;
        std::vector<std::string> sites = {environment.prefix + "/lib/" + v + "/site-packages",
                                          environment.prefix + "/local/lib/" + v + "/dist-packages",
                                          environment.prefix + "/lib/python3/dist-packages",
                                          environment.prefix + "/lib64/" + v + "/site-packages",
                                          realPrefix + "/lib/" + v + "/site-packages"};
        if (!environment.isVirtual) sites.push_back(options_.home + "/.local/lib/" + v + "/site-packages");
        for (const std::string& site : sites) {
            if (isFolder(site) && std::find(environment.siteFolders.begin(), environment.siteFolders.end(), site) ==
                                      environment.siteFolders.end()) {
                environment.siteFolders.push_back(site);
            }
        }
    }
    // The marker only binds the interpreter's own prefix: a virtual environment made from a
    // managed Python is the user's to change.
    environment.isExternallyManaged = !environment.isVirtual && !environment.standardLibrary.empty() &&
                                      isFile(environment.standardLibrary + "/EXTERNALLY-MANAGED");
    for (const std::string& apple : *options_.appleInterpreters) {
        if (interpreter == apple || isUnder(real, parentOf(parentOf(parentOf(apple)))))
            environment.isAppleManaged = true;
    }
    // A folder may hold the pips of several Pythons (Homebrew's pip3.11 and pip3.12): the
    // one whose script runs this interpreter is ours.
    const std::string folder = parentOf(interpreter);
    std::vector<std::string> pipNames = {"pip3", "pip"};
    if (!environment.version.empty()) pipNames.insert(pipNames.begin(), "pip" + environment.version);
    for (const std::string& name : pipNames) {
        const std::string pip = folder + "/" + name;
        if (!isExecutable(pip)) continue;
        std::optional<std::string> runs = interpreterOfScript(pip);
        if (runs && resolvedFile(*runs) != real) continue;
        environment.pip = pip;
        break;
    }
    return environment;
}

std::optional<std::string> PythonEnvironments::interpreterOfScript(const std::string& scriptPath) {
    std::ifstream file(scriptPath);
    std::string line;
    if (!file || !std::getline(file, line) || !startsWith(line, "#!")) return std::nullopt;
    std::string command = trim(std::string_view(line).substr(2));
    // "#!/usr/bin/env python3" names no environment of its own; a shell runs a wrapper.
    std::string program = command.substr(0, command.find(' '));
    if (!startsWith(program, "/") || !startsWith(lastPathComponent(program), "python")) return std::nullopt;
    return program;
}

}  // namespace vt
