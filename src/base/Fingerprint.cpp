#include "base/Fingerprint.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

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

std::string fingerprintDigest(std::string_view fingerprint) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : fingerprint) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace vt
