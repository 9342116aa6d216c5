#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "presentation/UpdatesScreenModel.hpp"
#include "presentation/UpdatesScreenState.hpp"

namespace vt {

// How a piece of the screen is drawn; the terminal layer maps each to its attributes (and
// colours, where the user has them).
enum class ScreenAttribute { Normal, Title, ColumnHeader, GroupHeader, Changed, Dim, Warning, Error, Tag, Footer, Pane };

struct ScreenSpan {
    std::string text;
    ScreenAttribute attribute = ScreenAttribute::Normal;
};

// One line of the screen: its spans fill exactly the screen's width in cells.
struct ScreenLine {
    std::vector<ScreenSpan> spans;
    bool selected = false;  // the cursor's row, drawn reversed

    std::string text() const;
};

// The whole screen for a model and a state at a size, one line per terminal row: a title,
// the column headers, the list (with the detail, help, confirmation or snooze pane in its
// lower part), a status line and a footer of keys. As the width shrinks the name stays:
// the release age, the source and the flags are dropped in that order, then the versions
// are cut; the footer leaves out whole key hints. Pure.
std::vector<ScreenLine> renderUpdatesScreen(const UpdatesScreenModel& model, const UpdatesScreenState& state,
                                            std::size_t width, std::size_t height);

// The screen as plain text, one line each, trailing spaces kept: what snapshots compare.
std::string screenText(const std::vector<ScreenLine>& lines);

}  // namespace vt
