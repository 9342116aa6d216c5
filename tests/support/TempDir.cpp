#include "support/TempDir.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <stdlib.h>

namespace vt::testing {

TempDir::TempDir(std::string_view prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    // Canonical, so that tests comparing with what a child reports (pwd) agree.
    path_ = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string TempDir::write(std::string_view name, std::string_view contents, unsigned permissions) const {
    const std::filesystem::path target = file(name);
    std::filesystem::create_directories(target.parent_path());
    {
        std::ofstream stream(target, std::ios::binary | std::ios::trunc);
        stream.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        if (!stream) throw std::runtime_error("cannot write " + target.string());
    }
    std::filesystem::permissions(target, static_cast<std::filesystem::perms>(permissions),
                                 std::filesystem::perm_options::replace);
    return target.string();
}

std::string TempDir::writeExecutable(std::string_view name, std::string_view contents) const {
    return write(name, contents, 0755);
}

std::string TempDir::makeFolder(std::string_view name) const {
    const std::string target = file(name);
    std::filesystem::create_directories(target);
    return target;
}

}  // namespace vt::testing
