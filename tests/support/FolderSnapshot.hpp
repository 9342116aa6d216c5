#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "base/Files.hpp"

namespace vt::testing {

// Every file of a tree with its contents, and every folder, to prove a bundle was not touched.
inline std::map<std::string, std::string> folderSnapshot(const std::string& folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const std::string relative = fs::relative(item.path(), folder).string();
        if (item.is_regular_file()) entries[relative] = readFile(item.path().string()).value_or("<unreadable>");
        else entries[relative + "/"] = "";
    }
    return entries;
}

}  // namespace vt::testing
