#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "sources/appimage/AppImageFile.hpp"

namespace vt {

// One folder searched for AppImages, and how many folder levels below it.
struct AppImageRoot {
    std::string path;
    int maxDepth = 0;
};

// What a walk found: the AppImages read, and the files that looked like one but could not be
// read (with why), so that a broken download is named instead of silently dropped.
struct AppImageInventory {
    std::vector<AppImageFile> images;
    std::vector<std::string> errors;
    long long directoriesVisited = 0;
    long long filesExamined = 0;
    long long symlinksSkipped = 0;
};

// Finds the AppImages of a user: files with the ELF header and the AppImage magic, in
// ~/Applications, ~/.local/bin, ~/bin, /opt and one level below it, and the folders of the
// "AdditionalApplicationFolders" setting. Never enters a folder through a symbolic link (no
// loops), visits each real folder once, and stops at a bounded number of entries. A link to
// an AppImage is listed under its own path once per target.
class AppImageScanner {
public:
    // Past this many entries a walk stops: a root that is a whole disk is not searched.
    static constexpr long long kMaxEntries = 50000;

    struct Options {
        std::string home;
        std::string optFolder = "/opt";
        std::function<std::vector<std::string>()> additionalFolders;
    };

    explicit AppImageScanner(Options options);

    std::vector<AppImageRoot> roots() const;
    AppImageInventory scan(std::stop_token stop = {}) const;

private:
    Options options_;
};

}  // namespace vt
