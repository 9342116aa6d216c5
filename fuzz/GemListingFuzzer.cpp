// `gem list --local`, `gem search --all`, specification stub lines and a gem source's
// Marshal index, gzipped or not, from arbitrary bytes: never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/languages/GemIndex.hpp"
#include "managers/languages/GemManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& gem : vt::GemManager::parseGemList(text)) {
        if (gem.name.empty() || gem.version.empty()) std::abort();
    }
    (void)vt::GemManager::compatibleRubyGemsVersion(text, "3.1.2");
    (void)vt::GemManager::suggestedInstall(text);
    if (auto stub = vt::gemindex::readStub(text); stub && (stub->name.empty() || stub->version.empty())) std::abort();
    const std::set<std::string, std::less<>> names = {"rake", "nokogiri", "a"};
    if (auto newest = vt::gemindex::newestReleases(text, names, "x86_64-linux")) {
        for (const auto& [name, version] : *newest) {
            if (!names.contains(name) || version.empty()) std::abort();
        }
    }
    if (auto inflated = vt::gemindex::gunzip(text, 1u << 20)) {
        (void)vt::gemindex::newestReleases(*inflated, names, "x86_64-linux");
    }
    return 0;
}
