// compare, isUpdateAvailable, the display form and sorting over arbitrary bytes: none may
// crash or hang, two texts order as their parses do, and sorting must hand back every
// element exactly once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "model/VersionRules.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t split = input.find('\t');
    std::string_view a = input.substr(0, split);
    std::string_view b = split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);

    // Texts compared in place must order as their parses do.
    if (a != b) {
        if (vt::compareVersions(a, b) != vt::compareVersions(vt::parseVersion(a), vt::parseVersion(b))) std::abort();
        if (vt::compareVersions(b, a) != vt::compareVersions(vt::parseVersion(b), vt::parseVersion(a))) std::abort();
    }
    (void)vt::isUpdateAvailable(a, b, false);
    (void)vt::isUpdateAvailable(a, b, true);
    (void)vt::isPreRelease(a);
    (void)vt::displayVersion(a);

    std::vector<std::string_view> lines;
    std::vector<vt::ParsedVersion> parsed;
    std::size_t start = 0;
    while (start <= input.size() && lines.size() < 256) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        lines.push_back(input.substr(start, end - start));
        parsed.push_back(vt::parseVersion(lines.back()));
        start = end + 1;
    }
    for (bool reverse : {false, true}) {
        std::vector<std::size_t> order = vt::sortedVersionOrder(parsed, reverse);
        std::vector<bool> seen(parsed.size(), false);
        if (order.size() != parsed.size()) std::abort();
        for (std::size_t index : order) {
            if (index >= seen.size() || seen[index]) std::abort();
            seen[index] = true;
        }
    }
    return 0;
}
