#include "support/FakeTools.hpp"
#include "support/LoopbackServer.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/Files.hpp"
#include "base/Json.hpp"

namespace vt::testing {

FakeTools::FakeTools(std::string folder, std::string logPath) : folder_(std::move(folder)), log_(std::move(logPath)) {
    std::filesystem::create_directories(folder_);
}

std::string FakeTools::add(const std::string& name, const std::string& body) const {
    const std::string path = folder_ + "/" + name;
    std::ofstream script(path, std::ios::binary | std::ios::trunc);
    // The log line comes first, whatever the body does next.
    script << "#!/bin/sh\nprintf '%s' '" << name << "' >> '" << log_ << "'\n"
           << "for argument in \"$@\"; do printf ' %s' \"$argument\" >> '" << log_ << "'; done\n"
           << "printf '\\n' >> '" << log_ << "'\n"
           << body << "\n";
    script.close();
    if (!script) throw std::runtime_error("cannot write " + path);
    std::filesystem::permissions(path, std::filesystem::perms(0755), std::filesystem::perm_options::replace);
    return path;
}

std::string FakeTools::log() const { return readFile(log_).value_or(""); }

void FakeTools::clearLog() const {
    std::error_code error;
    std::filesystem::remove(log_, error);
}

std::map<std::string, std::string> filesUnder(const std::string& root, const std::vector<std::string>& skip) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        const std::string relative = std::filesystem::relative(it->path(), root).string();
        bool skipped = false;
        for (const std::string& prefix : skip) skipped = skipped || relative.rfind(prefix, 0) == 0;
        if (!skipped) files[relative] = readFile(it->path().string()).value_or("<unreadable>");
    }
    return files;
}

std::string changedFiles(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after) {
    std::ostringstream out;
    for (const auto& [path, bytes] : before) {
        auto found = after.find(path);
        if (found == after.end()) {
            out << "removed " << path << "\n";
        } else if (found->second != bytes) {
            out << "changed " << path << "\n";
        }
    }
    for (const auto& [path, bytes] : after) {
        if (!before.count(path)) out << "added " << path << "\n";
    }
    return out.str();
}

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
    // As `cargo install --list` prints it; the cargo stand-ins keep only the newer record
    // (.crates2.json), so the list is cargo's to print.
    home.write(".cargo/.crates2.json", "{}");
    home.writeExecutable(".cargo/bin/cargo", R"(#!/bin/sh
case "$1 $2" in
  "install --list") printf ')" + crate + " v" + version + ":\\n    " + crate + R"(\n' ;;
  *) echo "error: unexpected arguments: $*" >&2; exit 2 ;;
esac
)");
}

void addOutdatedUvTools(const FakeTools& tools, LoopbackServer& pypi, const std::string& state, const std::string& upgrade) {
    tools.add("uv", "state=\"" + state + R"SH("
case "$1 $2" in
  "tool list")
    for tool in alpha bravo charlie delta echo; do
      printf '%s v%s\n- %s\n' "$tool" "$(cat "$state/uv-$tool" 2>/dev/null || echo 1.0.0)" "$tool"
    done ;;
  "tool upgrade")
)SH" + upgrade + R"SH( ;;
  *) exit 2 ;;
esac)SH");
    for (const char* tool : {"alpha", "bravo", "charlie", "delta", "echo"}) {
        LoopbackRoute route;
        route.body = std::string(R"({"info": {"name": ")") + tool + R"(", "version": "2.0.0"}, "releases": {}})";
        pypi.setRoute(std::string("/pypi/") + tool + "/json", route);
    }
}

}  // namespace vt::testing
