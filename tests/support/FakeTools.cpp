#include "support/FakeTools.hpp"

#include "base/Json.hpp"

namespace vt::testing {

void writeFakeBrew(const TempDir& home, const std::vector<FakeBrewItem>& items) {
    std::string formulae, casks;
    Json outdated = {{"formulae", Json::array()}, {"casks", Json::array()}};
    for (const FakeBrewItem& item : items) {
        (item.cask ? casks : formulae) += item.name + " " + item.installed + "\n";
        outdated[item.cask ? "casks" : "formulae"].push_back({{"name", item.name},
                                                             {"installed_versions", {item.installed}},
                                                             {"current_version", item.latest},
                                                             {"pinned", false},
                                                             {"pinned_version", nullptr}});
    }
    home.write("brew-data/formulae", formulae);
    home.write("brew-data/casks", casks);
    home.write("brew-data/outdated.json", outdated.dump(2));
    const std::string data = home.file("brew-data");
    home.writeExecutable(".local/bin/brew", R"(#!/bin/sh
echo "$*" >> ")" + data + R"(/calls"
case "$1 $2" in
  "list --formula") cat ")" + data + R"(/formulae" ;;
  "list --cask") cat ")" + data + R"(/casks" ;;
  "outdated --json=v2") cat ")" + data + R"(/outdated.json" ;;
  "info --json=v2") echo '{"formulae":[],"casks":[]}' ;;
  upgrade*) echo "Error: a test stand-in upgrades nothing" >&2; exit 1 ;;
  *) ;;
esac
exit 0
)");
}

void writeFakeCargo(const TempDir& home, const std::string& crate, const std::string& version) {
    // As `cargo install --list` prints it.
    home.writeExecutable(".cargo/bin/cargo", R"(#!/bin/sh
case "$1 $2" in
  "install --list") printf ')" + crate + " v" + version + ":\\n    " + crate + R"(\n' ;;
  *) echo "error: unexpected arguments: $*" >&2; exit 2 ;;
esac
)");
}

}  // namespace vt::testing
