// conda's environment list, package list and dry-run plan (after a banner or not) from
// arbitrary bytes, and the outdated packages a plan yields against its own listing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "managers/python/CondaManager.hpp"
#include "model/Package.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)vt::CondaManager::parseEnvironments(text);
    auto list = vt::CondaManager::parseList(text);
    auto plan = vt::CondaManager::parseDryRun(text);
    if (list.value && plan.value) {
        std::vector<vt::Package> installed;
        for (const auto& entry : *list.value) {
            vt::Package package;
            package.name = entry.name;
            package.version = entry.version;
            installed.push_back(package);
        }
        for (const vt::Package& update : vt::CondaManager::outdatedFrom(*plan.value, installed, "base")) {
            if (update.name.empty() || !update.latestVersion) std::abort();
        }
    }
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        (void)vt::CondaManager::phaseForLine(text.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
