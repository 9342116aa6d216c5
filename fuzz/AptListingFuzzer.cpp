// `apt-get -s dist-upgrade` from arbitrary bytes: only package names and two versions come out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/system/AptManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vt::AptManager::Simulation simulation = vt::AptManager::parseSimulation(text);
    for (const auto& pending : simulation.pending) {
        if (!vt::AptManager::isPackageName(pending.name) || pending.installed.empty() || pending.candidate.empty()) {
            std::abort();
        }
    }
    for (const auto& name : simulation.keptBack) {
        if (!vt::AptManager::isPackageName(name)) std::abort();
    }
    return 0;
}
