#include "sources/PropertyList.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include <plist/plist.h>

namespace vt {

namespace {

struct PlistDeleter {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// A crafted binary plist can nest without end; real ones stay shallow.
constexpr int kMaximumDepth = 64;

Json convert(plist_t node, int depth) {
    if (node == nullptr || depth > kMaximumDepth) return nullptr;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // libplist 2.2 keeps negative integers in the unsigned slot.
            return static_cast<long long>(value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(length));
        }
        case PLIST_DATE: {
            int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            return static_cast<double>(seconds) + microseconds / 1e6;
        }
        case PLIST_ARRAY: {
            Json array = Json::array();
            uint32_t size = plist_array_get_size(node);
            for (uint32_t i = 0; i < size; ++i) {
                Json item = convert(plist_array_get_item(node, i), depth + 1);
                if (!item.is_null()) array.push_back(std::move(item));
            }
            return array;
        }
        case PLIST_DICT: {
            Json object = Json::object();
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            if (iterator == nullptr) return object;
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iterator, &key, &value);
                if (key == nullptr) break;
                Json item = convert(value, depth + 1);
                if (!item.is_null()) object[key] = std::move(item);
                std::free(key);
            }
            std::free(iterator);
            return object;
        }
        default:
            return nullptr;
    }
}

PlistPtr parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PlistPtr(root);
}

}  // namespace

std::optional<Json> parsePropertyList(std::string_view bytes) {
    PlistPtr root = parse(bytes);
    if (!root) return std::nullopt;
    try {
        Json value = convert(static_cast<plist_t>(root.get()), 0);
        if (value.is_null()) return std::nullopt;
        return value;
    } catch (const std::exception&) {
        return std::nullopt;  // a string that is not UTF-8 where JSON wanted one
    }
}

}  // namespace vt
