// An appcast from arbitrary bytes: the parser returns items or a parse error, never crashes,
// hangs or reads past the bytes; every text it keeps is valid UTF-8 and the chosen release is
// one of the items, read in place or copied out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Strings.hpp"
#include "sources/sparkle/SparkleAppcastParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<vt::SparkleItem> items;
    try {
        items = vt::SparkleAppcastParser::parse(bytes);
    } catch (const vt::SparkleParseError&) {
        return 0;
    }
    for (const vt::SparkleItem& item : items) {
        for (const auto* text : {&item.version, &item.shortVersion, &item.downloadURL, &item.channel, &item.edSignature}) {
            if (*text && (text->value().empty() || vt::sanitizeUtf8(**text) != **text)) std::abort();
        }
        if (item.fileSize && *item.fileSize < 0) std::abort();
    }
    // The in-place form a check reads: the same items, and what it offers copies out valid.
    const vt::SparkleAppcast appcast(bytes);
    if (appcast.items().size() != items.size()) std::abort();
    for (bool allowPreRelease : {false, true}) {
        const vt::SparkleItem* newest = vt::SparkleAppcastParser::newest(items, allowPreRelease);
        if (newest != nullptr && (newest < items.data() || newest >= items.data() + items.size())) std::abort();
        const vt::SparkleItemView* offered = appcast.newest(allowPreRelease);
        if (offered == nullptr) continue;
        if (offered < appcast.items().data() || offered >= appcast.items().data() + items.size()) std::abort();
        const vt::SparkleItem copy = offered->copy();
        if (copy.downloadURL && vt::sanitizeUtf8(*copy.downloadURL) != *copy.downloadURL) std::abort();
    }
    return 0;
}
