#include "sources/inventory/PropertyListWriter.hpp"

#include <memory>

#include "sources/inventory/PlistLibrary.hpp"

namespace vt {

namespace {

// Reached only once writeXmlPropertyList has checked that the library is loaded.
const PlistLibrary& api() { return *PlistLibrary::shared(); }

struct NodeDeleter {
    void operator()(void* node) const noexcept { api().free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

Node convert(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            Node dictionary(api().newDictionary());
            for (const auto& [key, member] : value.items()) {
                // The dictionary takes ownership of the item.
                api().dictionarySet(static_cast<plist_t>(dictionary.get()), key.c_str(),
                                    static_cast<plist_t>(convert(member).release()));
            }
            return dictionary;
        }
        case Json::value_t::array: {
            Node array(api().newArray());
            for (const Json& item : value) {
                api().arrayAppend(static_cast<plist_t>(array.get()), static_cast<plist_t>(convert(item).release()));
            }
            return array;
        }
        case Json::value_t::string: return Node(api().newString(value.get_ref<const std::string&>().c_str()));
        case Json::value_t::boolean: return Node(api().newBoolean(value.get<bool>() ? 1 : 0));
        case Json::value_t::number_unsigned: return Node(api().newUnsigned(value.get<std::uint64_t>()));
        case Json::value_t::number_integer: {
            long long number = value.get<long long>();
            if (number < 0) throw PropertyListError("a negative integer has no place in this property list");
            return Node(api().newUnsigned(static_cast<std::uint64_t>(number)));
        }
        case Json::value_t::number_float: return Node(api().newReal(value.get<double>()));
        default: throw PropertyListError("a property list cannot hold an empty value");
    }
}

}  // namespace

std::string writeXmlPropertyList(const Json& value) {
    if (PlistLibrary::shared() == nullptr) throw PropertyListError(PlistLibrary::failure());
    Node root = convert(value);
    char* xml = nullptr;
    std::uint32_t length = 0;
    api().toXml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) throw PropertyListError("the property list could not be written");
    std::string text(xml, length);
    api().freeXml(xml);
    return text;
}

}  // namespace vt
