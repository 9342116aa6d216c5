#pragma once

#include <string>

namespace vt::testing {

// A fresh temporary folder set as HOME (and the XDG folders under it) for the lifetime
// of the object; the previous values come back and the folder is removed afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    std::string previousHome_;
    bool hadHome_ = false;
};

}  // namespace vt::testing
