#include "sources/appimage/AppImageInventory.hpp"

#include <filesystem>
#include <set>

#include "base/Cancellation.hpp"

namespace vt {

namespace fs = std::filesystem;

AppImageScanner::AppImageScanner(Options options) : options_(std::move(options)) {}

std::vector<AppImageRoot> AppImageScanner::roots() const {
    std::vector<AppImageRoot> roots;
    auto add = [&roots](const std::string& path, int depth) {
        if (path.empty()) return;
        for (const AppImageRoot& root : roots) {
            if (root.path == path) return;
        }
        roots.push_back({path, depth});
    };
    if (!options_.home.empty()) {
        add(options_.home + "/Applications", 3);
        add(options_.home + "/.local/bin", 0);
        add(options_.home + "/bin", 0);
    }
    add(options_.optFolder, 1);
    if (options_.additionalFolders) {
        for (const std::string& folder : options_.additionalFolders()) add(folder, 3);
    }
    return roots;
}

AppImageInventory AppImageScanner::scan(std::stop_token stop) const {
    AppImageInventory inventory;
    std::set<fs::path> visitedFolders;  // real paths: a folder reached twice is walked once
    std::set<fs::path> seenImages;      // real paths of the images listed
    long long entries = 0;
    auto examine = [&](const fs::path& path) {
        ++inventory.filesExamined;
        std::error_code error;
        const fs::path real = fs::canonical(path, error);
        if (error || !fs::is_regular_file(real, error) || seenImages.count(real) != 0) return;
        if (!appImageType(real.string())) return;
        seenImages.insert(real);
        try {
            AppImageFile image = readAppImage(path.string());
            inventory.images.push_back(std::move(image));
        } catch (const AppImageError& failure) {
            inventory.errors.emplace_back(failure.what());
        }
    };
    std::function<void(const fs::path&, int)> walk = [&](const fs::path& folder, int depthLeft) {
        if (stop.stop_requested()) throw CancellationError();
        std::error_code error;
        const fs::path real = fs::canonical(folder, error);
        if (error || !visitedFolders.insert(real).second) return;
        ++inventory.directoriesVisited;
        fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
        if (error) return;
        for (; it != fs::directory_iterator(); it.increment(error)) {
            if (error || ++entries > kMaxEntries) return;
            const fs::directory_entry& entry = *it;
            std::error_code statusError;
            const bool isLink = entry.is_symlink(statusError);
            if (entry.is_directory(statusError)) {
                // A linked folder may lead back up: it is not entered.
                if (isLink) {
                    ++inventory.symlinksSkipped;
                } else if (depthLeft > 0) {
                    walk(entry.path(), depthLeft - 1);
                }
                continue;
            }
            if (entry.is_regular_file(statusError)) examine(entry.path());
        }
    };
    for (const AppImageRoot& root : roots()) walk(root.path, root.maxDepth);
    return inventory;
}

}  // namespace vt
