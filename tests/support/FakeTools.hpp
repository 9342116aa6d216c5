#pragma once

#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace vt::testing {

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
