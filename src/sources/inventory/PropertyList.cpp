#include "sources/inventory/PropertyList.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include <plist/plist.h>

namespace vt {

void PropertyList::Deleter::operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }

std::optional<PropertyList> PropertyList::parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr) return std::nullopt;
    return PropertyList(root);
}

PropertyList::Kind PropertyList::Node::kind() const noexcept {
    switch (plist_get_node_type(static_cast<plist_t>(node_))) {
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
    const char* text = plist_get_string_ptr(static_cast<plist_t>(node_), &length);
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<unsigned long long> PropertyList::Node::integer() const {
    if (kind() != Kind::Integer) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(static_cast<plist_t>(node_), &value);
    return static_cast<unsigned long long>(value);
}

std::optional<bool> PropertyList::Node::boolean() const {
    if (kind() != Kind::Boolean) return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(static_cast<plist_t>(node_), &value);
    return value != 0;
}

std::optional<PropertyList::Node> PropertyList::Node::member(const char* key) const {
    if (kind() != Kind::Dictionary) return std::nullopt;
    plist_t value = plist_dict_get_item(static_cast<plist_t>(node_), key);
    if (value == nullptr) return std::nullopt;
    return Node(value);
}

std::vector<PropertyList::Node> PropertyList::Node::items() const {
    std::vector<Node> items;
    if (kind() != Kind::Array) return items;
    uint32_t size = plist_array_get_size(static_cast<plist_t>(node_));
    for (uint32_t i = 0; i < size; ++i) {
        if (plist_t item = plist_array_get_item(static_cast<plist_t>(node_), i)) items.push_back(Node(item));
    }
    return items;
}

bool PropertyList::Node::anyKeyContains(const std::vector<std::string>& parts) const {
    if (kind() != Kind::Dictionary) return false;
    plist_t dictionary = static_cast<plist_t>(node_);
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    if (iterator == nullptr) return false;
    bool found = false;
    for (;;) {
        plist_t value = nullptr;
        // Values only: the key node is compared in place, its text never fetched.
        plist_dict_next_item(dictionary, iterator, nullptr, &value);
        if (value == nullptr) break;
        plist_t key = plist_dict_item_get_key(value);
        for (const std::string& part : parts) found = found || plist_key_val_contains(key, part.c_str()) == 1;
        if (found) break;
    }
    std::free(iterator);
    return found;
}

}  // namespace vt
