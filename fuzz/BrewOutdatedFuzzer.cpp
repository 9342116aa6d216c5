// Homebrew's outdated output (JSON, damaged JSON, verbose text), its listings and its error
// text from arbitrary bytes: what is read is well-formed, nothing crashes or hangs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "managers/homebrew/BrewErrorClassifier.hpp"
#include "managers/homebrew/BrewManager.hpp"

namespace {

void checkEntries(const std::vector<vt::BrewManager::OutdatedInfo>& entries) {
    for (const auto& info : entries) {
        // Every entry has a name and something to compare against.
        if (info.name.empty() || info.latestVersion.empty()) std::abort();
        if (info.name.find('/') != std::string::npos) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> warnings;

    if (auto parsed = vt::BrewManager::parseOutdatedJson(text, warnings)) {
        checkEntries(parsed->formulas);
        checkEntries(parsed->casks);
    }
    auto salvaged = vt::BrewManager::salvageOutdatedJson(text, warnings);
    checkEntries(salvaged.formulas);
    checkEntries(salvaged.casks);
    auto verbose = vt::BrewManager::parseOutdatedText(text, warnings);
    checkEntries(verbose.formulas);
    checkEntries(verbose.casks);

    for (const auto& item : vt::BrewManager::parseVersionListing(text, warnings)) {
        if (item.name.empty() || item.versions.empty()) std::abort();
    }
    (void)vt::BrewManager::parseCaskDetails(text, warnings);

    vt::ParsedBrewError error = vt::BrewErrorClassifier::classify(text, "fuzz", size % 2 == 0);
    if (error.kind() == vt::BrewErrorType::Kind::Unknown && error.userMessage().size() > 4096) std::abort();
    (void)vt::BrewErrorClassifier::checksumCachePath(text);
    (void)vt::BrewErrorClassifier::permissionPath(text);
    (void)vt::BrewErrorClassifier::conflictingNames(text);
    return 0;
}
