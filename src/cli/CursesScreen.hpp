#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <vector>

#include "presentation/UpdatesScreenRenderer.hpp"

struct screen;

namespace vt::cli {

// The terminal under the interactive table, through ncurses: it puts rendered lines on the
// screen and reads keys, nothing more. It works on copies of the real descriptors 0 and 1,
// as our standard streams are filters without descriptors of their own. The terminal is
// given back as it was when the object goes, whatever ended the view. Main thread only.
class CursesScreen {
public:
    explicit CursesScreen(bool color);
    ~CursesScreen();
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    // Whether the screen could be set up (a terminal that terminfo knows).
    bool isOpen() const noexcept { return screen_ != nullptr; }
    std::size_t width() const;
    std::size_t height() const;
    void draw(const std::vector<ScreenLine>& lines);

    struct Input {
        std::optional<ScreenKey> key;
        bool resized = false;
    };
    // The next key, waiting at most a tenth of a second for one.
    Input read();

private:
    int attributesOf(ScreenAttribute attribute) const;

    std::FILE* out_ = nullptr;
    std::FILE* in_ = nullptr;
    ::screen* screen_ = nullptr;
    bool color_ = false;
};

}  // namespace vt::cli
