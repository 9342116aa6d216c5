// `cargo install --list` and cargo's .crates.toml record from arbitrary bytes: crates with a
// name and a version, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/languages/CargoManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& crate : vt::CargoManager::parseInstallList(text)) {
        if (crate.name.empty() || crate.version.empty()) std::abort();
    }
    if (auto crates = vt::CargoManager::parseCratesRecord(text)) {
        for (const auto& crate : *crates) {
            if (crate.name.empty() || crate.version.empty() || crate.name.find(' ') != std::string::npos) std::abort();
        }
    }
    if (auto document = vt::parseJson(text)) (void)vt::CargoManager::latestVersionOf(*document, "x", "1.0.0");
    return 0;
}
