// `go version -m` from arbitrary bytes: a module with a path and a version, or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/languages/GoManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto metadata = vt::GoManager::parseBuildInfo(text, "bin")) {
        if (metadata->modulePath.empty() || metadata->moduleVersion.empty() || metadata->commandPath.empty()) {
            std::abort();
        }
        (void)vt::GoManager::isModulePath(metadata->commandPath);
        (void)vt::GoManager::caseEncode(metadata->modulePath);
    }
    (void)vt::GoManager::looksExecutable(text.substr(0, 4));
    return 0;
}
