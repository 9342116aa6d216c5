// `gem list --local` and `gem search --all` from arbitrary bytes: never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/languages/GemManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& gem : vt::GemManager::parseGemList(text)) {
        if (gem.name.empty() || gem.version.empty()) std::abort();
    }
    (void)vt::GemManager::compatibleRubyGemsVersion(text, "3.1.2");
    (void)vt::GemManager::suggestedInstall(text);
    return 0;
}
