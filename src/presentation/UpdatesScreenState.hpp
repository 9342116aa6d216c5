#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "presentation/UpdatesScreenModel.hpp"

namespace vt {

enum class ScreenGrouping { Kind, Source, None };

// A key as the screen reads it: a character, or one of the keys that move and close.
struct ScreenKey {
    enum class Kind { Character, Up, Down, PageUp, PageDown, Home, End, Enter, Escape, Backspace, Interrupt };
    Kind kind = Kind::Character;
    char32_t character = 0;

    static ScreenKey of(char32_t c) { return {Kind::Character, c}; }
    static ScreenKey of(Kind kind) { return {kind, 0}; }
};

// What the screen shows besides the table. The password pane's keys are read by the program,
// never by handleKey: what is typed stays out of this plain value.
enum class ScreenPane { None, Detail, Help, ConfirmUpdate, SnoozeChoice, Password };

// Everything about the interactive table that is not the model: where the cursor is, what is
// tagged, the filter, the panes, and the lines the running work reports. A plain value.
struct UpdatesScreenState {
    std::size_t cursor = 0;  // position among the listed rows
    std::size_t top = 0;     // first line of the list shown (group headers count as lines)
    std::set<std::string> tagged;  // row ids
    std::string filter;      // "!" first inverts it
    bool editingFilter = false;
    ScreenGrouping grouping = ScreenGrouping::Kind;
    bool showIgnored = false;
    ScreenPane pane = ScreenPane::None;
    // The confirmation: what will run, and the rows it updates.
    std::vector<std::string> confirmLines;
    std::vector<std::string> confirmIds;
    std::string passwordQuestion;  // why a step of the running update needs the password
    std::string status;      // the last action's outcome, or what `a` left untagged
    std::string activity;    // a running scan's or update's progress
    std::map<std::string, std::string> rowProgress;  // row id → "updating…"
    std::map<std::string, std::string> failures;     // row id → message of its failed update
    bool busy = false;       // an update or a scan runs: no other change starts
};

// What a key asks the program to do; the screen's own changes are made in the state.
struct ScreenCommand {
    enum class Kind { None, Quit, PlanUpdate, Update, Cancel, Ignore, Snooze, Skip, Unignore, Rescan };
    Kind kind = Kind::None;
    std::vector<std::string> ids;
    // A snooze's length; absent for an indefinite one.
    std::optional<std::chrono::hours> snoozeFor;
};

// One line of the list: a group's header or a row.
struct ScreenListLine {
    bool header = false;
    std::size_t row = 0;   // position in the model's list (rows or ignored)
    std::string title;     // of a header
    std::size_t count = 0; // rows under a header
};

// The list as shown: filtered, grouped, in order.
struct ScreenList {
    std::vector<ScreenListLine> lines;
    std::vector<std::size_t> rowLines;  // for each listed row, its line
    const std::vector<ScreenRow>* rows = nullptr;

    std::size_t rowCount() const noexcept { return rowLines.size(); }
    const ScreenRow& rowAt(std::size_t position) const { return (*rows)[lines[rowLines[position]].row]; }
};

ScreenList listRows(const UpdatesScreenModel& model, const UpdatesScreenState& state);

// The lines of the list the screen has room for at `height` rows of terminal.
std::size_t listHeight(const UpdatesScreenState& state, std::size_t height);
// The first line to show so that the cursor's row is in view, starting from state.top.
std::size_t scrolledTop(const ScreenList& list, const UpdatesScreenState& state, std::size_t height);

// Applies a key to the state; `height` is the terminal's, for paging. Pure: whatever
// changes the machine comes back as a command, which the caller carries out.
ScreenCommand handleKey(UpdatesScreenState& state, const UpdatesScreenModel& model, ScreenKey key, std::size_t height);
// After the model changed (a rescan, an update, an ignore): the cursor stays on a listed row.
void clampToModel(UpdatesScreenState& state, const UpdatesScreenModel& model, std::size_t height);

}  // namespace vt
