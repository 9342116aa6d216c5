// uv's tool receipts and `uv tool list` from arbitrary bytes: the lenient scan reads what it
// can and never crashes, hangs or reads past the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/python/UvManager.hpp"
#include "managers/python/UvReceipt.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vt::UvReceipt receipt = vt::UvReceipt::parse(text);
    if (receipt.sourceKind == vt::UvReceipt::SourceKind::Registry && receipt.sourceIdentifier() != "pypi") std::abort();
    (void)vt::UvManager::sourceNote(receipt.requirementName.value_or("tool"), receipt.sourceKind);
    for (const auto& tool : vt::UvManager::parseToolList(text)) {
        if (tool.name.empty()) std::abort();
    }
    return 0;
}
