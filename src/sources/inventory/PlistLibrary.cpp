#include "sources/inventory/PlistLibrary.hpp"

#include "system/SharedLibrary.hpp"

namespace vt {

namespace {

const LoadedFunctions<PlistLibrary>& loaded() {
    static const LoadedFunctions<PlistLibrary> result = loadFunctions<PlistLibrary>(
        "libplist-2.0", VT_PLIST_SONAME_MAJOR, [](const SharedLibrary& library, PlistLibrary& api) {
            library.bind("plist_from_memory", api.fromMemory);
            library.bind("plist_free", api.free);
            library.bind("plist_get_node_type", api.nodeType);
            library.bind("plist_get_string_ptr", api.stringPointer);
            library.bind("plist_get_uint_val", api.unsignedValue);
            library.bind("plist_get_bool_val", api.booleanValue);
            library.bind("plist_dict_get_item", api.dictionaryItem);
            library.bind("plist_array_get_size", api.arraySize);
            library.bind("plist_array_get_item", api.arrayItem);
            library.bind("plist_dict_new_iter", api.dictionaryIterator);
            library.bind("plist_dict_next_item", api.dictionaryNext);
            library.bind("plist_dict_item_get_key", api.itemKey);
            library.bind("plist_key_val_contains", api.keyContains);
            library.bind("plist_new_dict", api.newDictionary);
            library.bind("plist_dict_set_item", api.dictionarySet);
            library.bind("plist_new_array", api.newArray);
            library.bind("plist_array_append_item", api.arrayAppend);
            library.bind("plist_new_string", api.newString);
            library.bind("plist_new_bool", api.newBoolean);
            library.bind("plist_new_uint", api.newUnsigned);
            library.bind("plist_new_real", api.newReal);
            library.bind("plist_to_xml", api.toXml);
            library.bind("plist_to_xml_free", api.freeXml);
        });
    return result;
}

}  // namespace

const PlistLibrary* PlistLibrary::shared() { return loaded().api ? &*loaded().api : nullptr; }

std::string PlistLibrary::failure() { return loaded().failure; }

}  // namespace vt
