#include "sources/inventory/PropertyList.hpp"

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <limits>
#include <vector>

#include "sources/inventory/PlistLibrary.hpp"

namespace vt {

namespace {

// Reached only through a list that was parsed, so with the library loaded.
const PlistLibrary& api() { return *PlistLibrary::shared(); }

// A big-endian unsigned integer of `size` bytes (at most 8).
std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The children of the binary list's containers, as object numbers: what its depth is made of.
class BinaryObjects {
public:
    // False when the trailer or the offset table does not fit the bytes.
    bool open(std::string_view bytes) {
        bytes_ = bytes;
        if (bytes.size() < 8 + 32) return false;
        const std::size_t trailer = bytes.size() - 32;
        offsetSize_ = static_cast<unsigned char>(bytes[trailer + 6]);
        referenceSize_ = static_cast<unsigned char>(bytes[trailer + 7]);
        count_ = bigEndian(bytes, trailer + 8, 8);
        top_ = bigEndian(bytes, trailer + 16, 8);
        table_ = bigEndian(bytes, trailer + 24, 8);
        auto validSize = [](std::size_t size) { return size == 1 || size == 2 || size == 4 || size == 8; };
        return validSize(offsetSize_) && validSize(referenceSize_) && count_ > 0 && count_ <= bytes.size() &&
               top_ < count_ && table_ < trailer && (trailer - table_) / offsetSize_ >= count_;
    }
    std::uint64_t count() const { return count_; }
    std::uint64_t top() const { return top_; }

    // The objects a container refers to (keys and values of a dictionary); none for a leaf.
    // False when the object does not fit the bytes.
    bool children(std::uint64_t object, std::vector<std::uint64_t>& out) const {
        out.clear();
        const std::uint64_t offset = bigEndian(bytes_, table_ + object * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_) return false;
        const auto marker = static_cast<unsigned char>(bytes_[offset]);
        const unsigned type = marker >> 4;
        // Arrays (0xA), sets (0xB, 0xC) and dictionaries (0xD) hold references.
        if (type < 0xA || type > 0xD) return true;
        std::uint64_t items = marker & 0x0F;
        std::uint64_t at = offset + 1;
        if (items == 0x0F) {  // the count follows as an integer object
            if (at >= table_) return false;
            const auto intMarker = static_cast<unsigned char>(bytes_[at]);
            const std::size_t size = std::size_t{1} << (intMarker & 0x0F);
            if ((intMarker >> 4) != 0x1 || size > 8 || at + 1 + size > table_) return false;
            items = bigEndian(bytes_, at + 1, size);
            at += 1 + size;
        }
        const std::uint64_t references = type == 0xD ? items * 2 : items;
        if (items > table_ || references > (table_ - at) / referenceSize_) return false;
        out.reserve(references);
        for (std::uint64_t i = 0; i < references; ++i) {
            const std::uint64_t child = bigEndian(bytes_, at + i * referenceSize_, referenceSize_);
            if (child >= count_) return false;
            out.push_back(child);
        }
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t offsetSize_ = 0;
    std::size_t referenceSize_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t table_ = 0;
};

// Whether a binary list nests deeper than the limit, refers to itself, would expand to more
// than `maxNodes` values (an object referred to twice is read twice: a few hundred bytes that
// share every level expand to billions), or does not hold together. Each object is looked at
// once, however often it is referred to, and without recursion.
bool binaryListIsTooDeep(std::string_view bytes, std::size_t limit, std::uint64_t maxNodes) {
    BinaryObjects objects;
    if (!objects.open(bytes)) return true;
    constexpr std::uint32_t kUnseen = 0;
    constexpr std::uint32_t kOpen = std::numeric_limits<std::uint32_t>::max();
    // The height of each object once known (1 for a leaf), kOpen while on the path; and the
    // number of values it expands to.
    std::vector<std::uint32_t> height(static_cast<std::size_t>(objects.count()), kUnseen);
    std::vector<std::uint64_t> expanded(static_cast<std::size_t>(objects.count()), 0);
    struct Step {
        std::uint64_t object;
        std::vector<std::uint64_t> children;
        std::size_t next = 0;
        std::uint32_t tallest = 0;
        std::uint64_t nodes = 1;
    };
    std::vector<Step> path;
    path.push_back({objects.top(), {}});
    if (!objects.children(objects.top(), path.back().children)) return true;
    height[objects.top()] = kOpen;
    while (!path.empty()) {
        Step& step = path.back();
        if (step.next == step.children.size()) {
            height[step.object] = step.tallest + 1;
            expanded[step.object] = step.nodes;
            const Step done = std::move(step);
            path.pop_back();
            if (path.empty()) break;
            Step& parent = path.back();
            parent.tallest = std::max(parent.tallest, height[done.object]);
            parent.nodes += done.nodes;
            if (parent.nodes > maxNodes) return true;
            continue;
        }
        const std::uint64_t child = step.children[step.next++];
        if (height[child] == kOpen) return true;  // a cycle
        if (height[child] != kUnseen) {
            if (path.size() + height[child] > limit) return true;
            step.tallest = std::max(step.tallest, height[child]);
            step.nodes += expanded[child];
            if (step.nodes > maxNodes) return true;
            continue;
        }
        if (path.size() + 1 > limit) return true;
        Step next{child, {}};
        if (!objects.children(child, next.children)) return true;
        height[child] = kOpen;
        path.push_back(std::move(next));
    }
    return false;
}

// Whether an XML list's elements nest deeper than the limit. Comments, processing
// instructions, declarations and character data are skipped; quoted attribute values too.
bool xmlListIsTooDeep(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t at = text.find('<');
    while (at != std::string_view::npos && at + 1 < text.size()) {
        std::string_view rest = text.substr(at);
        std::size_t end = std::string_view::npos;
        if (rest.starts_with("<!--")) {
            end = text.find("-->", at + 4);
            if (end != std::string_view::npos) end += 2;
        } else if (rest.starts_with("<![CDATA[")) {
            end = text.find("]]>", at + 9);
            if (end != std::string_view::npos) end += 2;
        } else {
            char quote = 0;
            for (std::size_t i = at + 1; i < text.size(); ++i) {
                const char c = text[i];
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    end = i;
                    break;
                }
            }
            if (end == std::string_view::npos) return false;  // unfinished: not a list at all
            const char kind = text[at + 1];
            if (kind == '/') {
                if (depth > 0) --depth;
            } else if (kind != '?' && kind != '!' && text[end - 1] != '/') {
                if (++depth > limit) return true;
            }
        }
        if (end == std::string_view::npos) return false;
        at = text.find('<', end + 1);
    }
    return false;
}

}  // namespace

void PropertyList::Deleter::operator()(void* node) const noexcept { api().free(static_cast<plist_t>(node)); }

std::optional<PropertyList> PropertyList::parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    // libplist parses and frees by recursion: a list nested deeper than any real one is
    // refused before it sees it, so neither can exhaust the stack.
    const bool binary = bytes.starts_with("bplist00");
    const bool refused = binary ? binaryListIsTooDeep(bytes, kMaxDepth, kMaxValues) : xmlListIsTooDeep(bytes, kMaxDepth);
    // Without the library no list can be read; why is in the log, once.
    if (refused || PlistLibrary::shared() == nullptr) return std::nullopt;
    plist_t root = nullptr;
    api().fromMemory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr) return std::nullopt;
    return PropertyList(root);
}

PropertyList::Kind PropertyList::Node::kind() const noexcept {
    switch (api().nodeType(static_cast<plist_t>(node_))) {
        case PLIST_DICT: return Kind::Dictionary;
        case PLIST_ARRAY: return Kind::Array;
        case PLIST_STRING: return Kind::String;
        case PLIST_UINT: return Kind::Integer;
        case PLIST_REAL: return Kind::Real;
        case PLIST_BOOLEAN: return Kind::Boolean;
        case PLIST_DATE: return Kind::Date;
        case PLIST_DATA: return Kind::Data;
        default: return Kind::Other;
    }
}

std::optional<std::string> PropertyList::Node::text() const {
    if (kind() != Kind::String) return std::nullopt;
    uint64_t length = 0;
    const char* text = api().stringPointer(static_cast<plist_t>(node_), &length);
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<unsigned long long> PropertyList::Node::integer() const {
    if (kind() != Kind::Integer) return std::nullopt;
    uint64_t value = 0;
    api().unsignedValue(static_cast<plist_t>(node_), &value);
    return static_cast<unsigned long long>(value);
}

std::optional<bool> PropertyList::Node::boolean() const {
    if (kind() != Kind::Boolean) return std::nullopt;
    uint8_t value = 0;
    api().booleanValue(static_cast<plist_t>(node_), &value);
    return value != 0;
}

std::optional<PropertyList::Node> PropertyList::Node::member(const char* key) const {
    if (kind() != Kind::Dictionary) return std::nullopt;
    plist_t value = api().dictionaryItem(static_cast<plist_t>(node_), key);
    if (value == nullptr) return std::nullopt;
    return Node(value);
}

std::vector<PropertyList::Node> PropertyList::Node::items() const {
    std::vector<Node> items;
    if (kind() != Kind::Array) return items;
    uint32_t size = api().arraySize(static_cast<plist_t>(node_));
    for (uint32_t i = 0; i < size; ++i) {
        if (plist_t item = api().arrayItem(static_cast<plist_t>(node_), i)) items.push_back(Node(item));
    }
    return items;
}

bool PropertyList::Node::anyKeyContains(const std::vector<std::string>& parts) const {
    if (kind() != Kind::Dictionary) return false;
    plist_t dictionary = static_cast<plist_t>(node_);
    plist_dict_iter iterator = nullptr;
    api().dictionaryIterator(dictionary, &iterator);
    if (iterator == nullptr) return false;
    bool found = false;
    for (;;) {
        plist_t value = nullptr;
        // Values only: the key node is compared in place, its text never fetched.
        api().dictionaryNext(dictionary, iterator, nullptr, &value);
        if (value == nullptr) break;
        plist_t key = api().itemKey(value);
        for (const std::string& part : parts) found = found || api().keyContains(key, part.c_str()) == 1;
        if (found) break;
    }
    std::free(iterator);
    return found;
}

}  // namespace vt
