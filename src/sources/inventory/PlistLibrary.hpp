#pragma once

#include <string>

#include <plist/plist.h>

namespace vt {

// libplist, loaded the first time a property list is read or written: only the commands
// that look into application bundles or write a launch agent need it, and mapping it cost
// every other start of the program a tenth of a millisecond.
struct PlistLibrary {
    decltype(&plist_from_memory) fromMemory = nullptr;
    decltype(&plist_free) free = nullptr;
    decltype(&plist_get_node_type) nodeType = nullptr;
    decltype(&plist_get_string_ptr) stringPointer = nullptr;
    decltype(&plist_get_uint_val) unsignedValue = nullptr;
    decltype(&plist_get_bool_val) booleanValue = nullptr;
    decltype(&plist_dict_get_item) dictionaryItem = nullptr;
    decltype(&plist_array_get_size) arraySize = nullptr;
    decltype(&plist_array_get_item) arrayItem = nullptr;
    decltype(&plist_dict_new_iter) dictionaryIterator = nullptr;
    decltype(&plist_dict_next_item) dictionaryNext = nullptr;
    decltype(&plist_dict_item_get_key) itemKey = nullptr;
    decltype(&plist_key_val_contains) keyContains = nullptr;
    decltype(&plist_new_dict) newDictionary = nullptr;
    decltype(&plist_dict_set_item) dictionarySet = nullptr;
    decltype(&plist_new_array) newArray = nullptr;
    decltype(&plist_array_append_item) arrayAppend = nullptr;
    decltype(&plist_new_string) newString = nullptr;
    decltype(&plist_new_bool) newBoolean = nullptr;
    decltype(&plist_new_uint) newUnsigned = nullptr;
    decltype(&plist_new_real) newReal = nullptr;
    decltype(&plist_to_xml) toXml = nullptr;
    decltype(&plist_to_xml_free) freeXml = nullptr;

    // The library, loaded once; nullptr when it is missing or lacks a function, and then
    // `failure()` says why.
    static const PlistLibrary* shared();
    static std::string failure();
};

}  // namespace vt
