#pragma once

#include <string>
#include <string_view>

namespace vt::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes. Paths it returns are absolute.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "vt-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const noexcept { return path_; }
    // The absolute path of a name inside the folder; nothing is created.
    std::string file(std::string_view name) const;
    // Writes a file (parent folders created) and returns its path.
    std::string write(std::string_view name, std::string_view contents, unsigned permissions = 0644) const;
    // Writes a program (usually a "#!/bin/sh" script) with mode 0755 and returns its path.
    std::string writeExecutable(std::string_view name, std::string_view contents) const;
    // Creates a folder (and its parents) and returns its path.
    std::string makeFolder(std::string_view name) const;

private:
    std::string path_;
};

}  // namespace vt::testing
