// Registry documents and tool settings from arbitrary bytes: dated releases, limits or nothing,
// never a crash. The same bytes go to every reader of publish times and release-age limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "base/Json.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (std::optional<vt::Json> document = vt::parseJson(text)) {
        namespace pt = vt::publishtimes;
        const std::vector<vt::PublishedRelease> gems = pt::fromRubyGemsVersions(*document);
        // The newest version offered is one of those dated, and there is one whenever any is.
        const std::optional<std::string> newestGem = pt::latestOfRubyGemsVersions(*document);
        if (newestGem.has_value() == gems.empty()) std::abort();
        // Packagist's document names its package once, as the key of "packages".
        std::string packagist = "vt/tool";
        if (document->is_object() && document->contains("packages") && (*document)["packages"].is_object() &&
            !(*document)["packages"].empty()) {
            packagist = (*document)["packages"].begin().key();
        }
        for (const auto& releases : {pt::fromNpmDocument(*document), pt::fromPyPIDocument(*document),
                                     pt::fromCratesDocument(*document), gems, pt::fromGoInfo(*document),
                                     pt::fromPackagistDocument(*document, packagist)}) {
            for (const vt::PublishedRelease& release : releases) {
                if (release.version.empty() || release.version.find(' ') != std::string::npos) std::abort();
                // What is saved of a release reads back as the same version.
                std::optional<vt::PublishedRelease> saved = vt::releaseFromSavedForm(vt::savedForm(release));
                if (!saved || saved->version != release.version) std::abort();
            }
        }
    }
    (void)vt::releaseFromSavedForm(text);
    for (std::string_view key : {"min-release-age", "minimum-release-age"}) {
        if (auto value = vt::toolages::npmrcValue(text, key)) {
            auto limit = vt::toolages::limitFrom(*value, std::chrono::minutes(1), "fuzz");
            if (limit && limit->minimum <= std::chrono::seconds(0)) std::abort();
        }
    }
    // A registry named in a bunfig is an address without a trailing "/" or a blank, or nothing.
    for (const auto& [table, key] : {std::pair{"install", "registry"}, std::pair{"install.registry", "url"}}) {
        if (auto value = vt::toolages::tomlValue(text, table, key)) {
            if (auto address = vt::toolages::registryAddress(*value)) {
                if (address->empty() || address->back() == '/' || address->find_first_of(" \t\n") != std::string::npos) {
                    std::abort();
                }
            }
        }
    }
    if (auto value = vt::toolages::yamlTopLevelValue(text, "minimumReleaseAge")) {
        (void)vt::toolages::limitFrom(*value, std::chrono::hours(24), "fuzz");
    }
    return 0;
}
