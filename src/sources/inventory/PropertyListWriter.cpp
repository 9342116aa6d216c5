#include "sources/inventory/PropertyListWriter.hpp"

#include <memory>

#include <plist/plist.h>

namespace vt {

namespace {

struct NodeDeleter {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

Node convert(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            Node dictionary(plist_new_dict());
            for (const auto& [key, member] : value.items()) {
                // The dictionary takes ownership of the item.
                plist_dict_set_item(static_cast<plist_t>(dictionary.get()), key.c_str(),
                                    static_cast<plist_t>(convert(member).release()));
            }
            return dictionary;
        }
        case Json::value_t::array: {
            Node array(plist_new_array());
            for (const Json& item : value) {
                plist_array_append_item(static_cast<plist_t>(array.get()), static_cast<plist_t>(convert(item).release()));
            }
            return array;
        }
        case Json::value_t::string: return Node(plist_new_string(value.get_ref<const std::string&>().c_str()));
        case Json::value_t::boolean: return Node(plist_new_bool(value.get<bool>() ? 1 : 0));
        case Json::value_t::number_unsigned: return Node(plist_new_uint(value.get<std::uint64_t>()));
        case Json::value_t::number_integer: {
            long long number = value.get<long long>();
            if (number < 0) throw PropertyListError("a negative integer has no place in this property list");
            return Node(plist_new_uint(static_cast<std::uint64_t>(number)));
        }
        case Json::value_t::number_float: return Node(plist_new_real(value.get<double>()));
        default: throw PropertyListError("a property list cannot hold an empty value");
    }
}

}  // namespace

std::string writeXmlPropertyList(const Json& value) {
    Node root = convert(value);
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) throw PropertyListError("the property list could not be written");
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace vt
