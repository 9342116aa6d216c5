#include "sources/inventory/PropertyList.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vt {
namespace {

std::string xmlNested(std::size_t depth) {
    std::string text = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                       "<string>a.b</string><key>X</key>";
    for (std::size_t i = 0; i < depth; ++i) text += "<array>";
    for (std::size_t i = 0; i < depth; ++i) text += "</array>";
    return text + "</dict></plist>\n";
}

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A binary list of `count` arrays, array i holding the references `children(i)`.
std::string binaryList(std::size_t count, const std::function<std::vector<std::uint64_t>(std::size_t)>& children) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (std::size_t i = 0; i < count; ++i) {
        offsets.push_back(out.size());
        const std::vector<std::uint64_t> refs = children(i);
        if (refs.size() < 15) {
            out += static_cast<char>(0xA0 | refs.size());
        } else {
            out += static_cast<char>(0xAF);
            out += static_cast<char>(0x13);
            appendBigEndian(out, refs.size(), 8);
        }
        for (std::uint64_t ref : refs) appendBigEndian(out, ref, 4);
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t offset : offsets) appendBigEndian(out, offset, 4);
    out.append(6, '\0');
    out += static_cast<char>(4);  // offset size
    out += static_cast<char>(4);  // reference size
    appendBigEndian(out, count, 8);
    appendBigEndian(out, 0, 8);  // the top object
    appendBigEndian(out, table, 8);
    return out;
}

// Lists nested past the bound are malformed, in either form, and are refused before libplist
// recurses into them; real depths still read.
TEST(PropertyListTest, ListsNestedPastTheBoundAreRefusedWithoutCrashing) {
    EXPECT_TRUE(PropertyList::parse(xmlNested(PropertyList::kMaxDepth - 4)));
    EXPECT_FALSE(PropertyList::parse(xmlNested(PropertyList::kMaxDepth + 1)));
    EXPECT_FALSE(PropertyList::parse(xmlNested(200'000)));  // 2 MB, under the Info.plist cap
    // Comments and text with angle brackets do not count as elements.
    EXPECT_TRUE(PropertyList::parse("<?xml version=\"1.0\"?><!-- <array><array> --><plist version=\"1.0\">"
                                    "<string>&lt;array&gt;</string></plist>"));

    auto chain = [](std::size_t count) {
        return binaryList(count, [count](std::size_t i) {
            return i + 1 < count ? std::vector<std::uint64_t>{i + 1} : std::vector<std::uint64_t>{};
        });
    };
    EXPECT_TRUE(PropertyList::parse(chain(50)));
    EXPECT_FALSE(PropertyList::parse(chain(PropertyList::kMaxDepth + 1)));
    EXPECT_FALSE(PropertyList::parse(chain(200'000)));
    // An array that holds itself, directly or further down.
    EXPECT_FALSE(PropertyList::parse(binaryList(3, [](std::size_t i) { return std::vector<std::uint64_t>{(i + 1) % 3}; })));
    // Each level refers twice to the next: a few hundred bytes that libplist would expand to
    // 2^100 values. Refused, after looking at each object once.
    auto doubling = [](std::size_t levels) {
        return binaryList(levels + 1, [levels](std::size_t i) {
            return i < levels ? std::vector<std::uint64_t>{i + 1, i + 1} : std::vector<std::uint64_t>{};
        });
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PropertyList::parse(doubling(100)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(PropertyList::parse(doubling(10)));
    // References past the objects, offsets past the table.
    EXPECT_FALSE(PropertyList::parse(binaryList(2, [](std::size_t) { return std::vector<std::uint64_t>{7}; })));
}

}  // namespace
}  // namespace vt
