// A package index's project page (HTML and JSON forms), its file names and their versions and
// Requires-Python clauses from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/python/PipIndex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vt::PipIndex::Target target;
    target.minor = 11;
    target.machine = "x86_64";
    target.glibc = std::make_pair(2, 36);
    for (std::string_view type : {"text/html", "application/vnd.pypi.simple.v1+json"}) {
        std::vector<vt::PipIndex::Link> links = vt::PipIndex::linksOfPage(type, text);
        for (const auto& link : links) {
            if (link.fileName.empty()) std::abort();
        }
        (void)vt::PipIndex::newest("demo", links, target, true);
    }
    // A version read back from its normalised text is the same version, in the same form.
    if (auto version = vt::pep440::parse(text)) {
        auto again = vt::pep440::parse(version->text());
        if (!again || vt::pep440::compare(*version, *again) != 0 || again->text() != version->text()) std::abort();
        (void)vt::pep440::satisfies(*version, ">=3.8, !=3.9.*, ~=3.1, <4");
    }
    if (auto version = vt::pep440::parse("3.11.7")) (void)vt::pep440::satisfies(*version, text);
    return 0;
}
