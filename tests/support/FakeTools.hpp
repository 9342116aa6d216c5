#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace vt::testing {

// Stand-ins for the tools the program runs, which log every call: each is a shell script
// that first appends one line, its name and its arguments, to a log all of them share, then
// runs the body the test wrote for it. A run that must change nothing leaves the log empty.
class FakeTools {
public:
    // The scripts go in `folder` (made when missing), the log to `logPath`.
    FakeTools(std::string folder, std::string logPath);

    // Writes the tool `name` (sh); `body` runs once the call is logged, with "$@" intact.
    // Returns its path.
    std::string add(const std::string& name, const std::string& body) const;
    // Every call since the last clear, "name arg arg" a line.
    std::string log() const;
    void clearLog() const;
    const std::string& folder() const noexcept { return folder_; }

private:
    std::string folder_, log_;
};

class LoopbackServer;
// Five uv tools, alpha to echo, installed at 1.0.0 (or the version an upgrade wrote under
// `state`) and offered 2.0.0 by `pypi`; `upgrade` is the shell run for "uv tool upgrade NAME" ($3).
void addOutdatedUvTools(const FakeTools& tools, LoopbackServer& pypi, const std::string& state, const std::string& upgrade);

// Every regular file under `root` with its bytes, by path relative to `root`, leaving out
// the paths that begin with one of `skip` (the program's own diary).
std::map<std::string, std::string> filesUnder(const std::string& root, const std::vector<std::string>& skip = {});
// The files that differ between two such pictures (added, removed, changed), one a line;
// empty when every file is byte-identical.
std::string changedFiles(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after);

// An item a fake brew has installed, and the version it says is newer.
struct FakeBrewItem {
    std::string name;
    std::string installed;
    std::string latest;
    bool cask = false;
};

// A `brew` in the sandbox's ~/.local/bin that lists the items as Homebrew does (its outdated
// JSON in the shape of the recorded corpus) and fails every upgrade, saying so on stderr.
// Each run appends its arguments to ~/brew-data/calls.
void writeFakeBrew(const TempDir& home, const std::vector<FakeBrewItem>& items);

// A `cargo` in ~/.cargo/bin with one crate from the registry installed.
void writeFakeCargo(const TempDir& home, const std::string& crate, const std::string& version);

}  // namespace vt::testing
