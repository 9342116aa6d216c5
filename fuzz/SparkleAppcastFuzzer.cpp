// An appcast from arbitrary bytes: the parser returns items or a parse error, never crashes,
// hangs or reads past the bytes; every text it keeps is valid UTF-8 and the chosen release is
// one of the items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Strings.hpp"
#include "sources/SparkleAppcastParser.hpp"

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
    for (bool allowPreRelease : {false, true}) {
        const vt::SparkleItem* newest = vt::SparkleAppcastParser::newest(items, allowPreRelease);
        if (newest != nullptr && (newest < items.data() || newest >= items.data() + items.size())) std::abort();
    }
    return 0;
}
