// pip's JSON listings, pip-review's lines, pip's retry warnings and distributions' metadata
// headers from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/python/PipManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::PipManager::parseInstalled(text).entries) {
        if (entry.name.empty()) std::abort();
    }
    for (const auto& entry : vt::PipManager::parseOutdated(text).entries) {
        if (entry.name.empty()) std::abort();
    }
    for (const auto& entry : vt::PipManager::parsePipReview(text)) {
        if (entry.name.empty()) std::abort();
    }
    if (auto entry = vt::PipManager::parseMetadata(text)) {
        if (entry->name.empty() || entry->version.empty()) std::abort();
    }
    (void)vt::PipManager::unreachableProjects(text);
    // Normalising is idempotent: pip compares names in that form.
    std::string normalized = vt::PipManager::normalizedName(text);
    if (vt::PipManager::normalizedName(normalized) != normalized) std::abort();
    (void)vt::PipManager::isProjectName(text);
    return 0;
}
