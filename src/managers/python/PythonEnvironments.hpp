#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vt {

// Finds the Python 3 environments of this machine from the file system alone (no process is
// started) and returns them in priority order, each once:
//   1. the user's own: virtual environments under $WORKON_HOME (else ~/.virtualenvs),
//      python.org installs, and the interpreter behind the pip the user's PATH finds;
//   2. version-manager installs: pyenv ($PYENV_ROOT, else ~/.pyenv; its global version
//      first, then newest first), asdf, mise and uv;
//   3. Homebrew's, on macOS and Linux, newest Python first;
//   4. the operating system's: Apple's Command Line Tools and Xcode, then /usr/bin/python3.
// An environment the user installs into directly comes before one a package manager owns:
// when a package is in both, the copy shown is the one the user can update.
// Two paths to one environment (/bin/python3 and /usr/bin/python3, python3 and python3.12
// of one prefix) count once. Python 2 is left out. Thread-safe: no state after construction.
class PythonEnvironments {
public:
    enum class Kind { User, VersionManager, Homebrew, System };

    struct Environment {
        std::string interpreter;  // as found; names the environment (the packages' sourceIdentifier)
        Kind kind = Kind::User;
        std::string prefix;                    // the environment's own folder (a virtual environment's)
        std::string version;                   // "3.11"; empty when it could not be told
        std::optional<std::string> pip;        // the pip3 or pip beside the interpreter
        std::string standardLibrary;           // where an EXTERNALLY-MANAGED marker would be
        std::vector<std::string> siteFolders;  // existing folders packages are installed into
        bool isVirtual = false;
        // The operating system's package manager owns it: pip refuses to install into it.
        bool isExternallyManaged = false;
        bool isAppleManaged = false;  // the Python of Apple's developer tools

        friend bool operator==(const Environment&, const Environment&) = default;
    };

    // Every root is data, so tests point them at a temporary folder. Empty values take the
    // defaults named above, read from the environment and the home folder at construction.
    struct Options {
        std::string home;
        std::optional<std::string> pyenvRoot;
        std::optional<std::string> asdfRoot;
        std::optional<std::string> miseRoot;
        std::optional<std::string> uvPythonRoot;
        std::optional<std::string> virtualenvRoot;
        std::optional<std::vector<std::string>> frameworkRoots;  // python.org installs
        std::optional<std::vector<std::string>> homebrewPrefixes;
        std::optional<std::vector<std::string>> appleInterpreters;
        std::optional<std::vector<std::string>> systemInterpreters;
        // Present only on macOS, where /usr/bin/python3 is a stub that may ask to install
        // the developer tools: the system interpreters are skipped when it exists.
        std::optional<std::string> appleStubMarker;
        std::vector<std::string> userInterpreters;  // e.g. the one behind `which pip3`
    };

    PythonEnvironments();
    explicit PythonEnvironments(Options options);

    std::vector<Environment> find() const;
    // What one interpreter path is, or nothing when it is not a Python 3 we can use.
    std::optional<Environment> describe(const std::string& interpreter, Kind kind) const;

    // The interpreter a pip script runs ("#!/usr/bin/python3"), or nothing for a shell
    // wrapper such as a pyenv shim.
    static std::optional<std::string> interpreterOfScript(const std::string& scriptPath);

private:
    struct Candidate {
        std::string interpreter;
        Kind kind;
    };
    std::vector<Candidate> candidates() const;
    void addUserCandidates(std::vector<Candidate>& out) const;
    void addVersionManagerCandidates(std::vector<Candidate>& out) const;
    void addHomebrewCandidates(std::vector<Candidate>& out) const;
    void addSystemCandidates(std::vector<Candidate>& out) const;
    std::vector<std::string> pyenvVersionsInOrder() const;
    Kind classify(const std::string& interpreter, Kind fallback) const;

    Options options_;
};

}  // namespace vt
