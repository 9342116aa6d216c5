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
        char line[128];
        std::snprintf(line, sizeof(line), " %lld %lld.%09ld %llu:%llu\n", static_cast<long long>(info.st_size),
                      static_cast<long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec),
                      static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino));
        text += line;
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
