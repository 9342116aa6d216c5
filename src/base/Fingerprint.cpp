#include "base/Fingerprint.hpp"

#include <sys/stat.h>

namespace vt {

std::string fingerprintOf(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths) {
        text += path;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            text += " -\n";
            continue;
        }
        // The device too: an inode number is only unique within its own file system.
        text += " " + std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_dev) + ":" +
                std::to_string(info.st_ino) + "\n";
    }
    return text;
}

}  // namespace vt
