#include "presentation/UpdatesScreenState.hpp"

#include <algorithm>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "base/Utf8.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"

namespace vt {

namespace {

constexpr std::size_t kFixedLines = 4;  // title, column headers, status, footer

std::string groupTitle(ScreenGroup group) {
    switch (group) {
        case ScreenGroup::Security: return localized("ui.group.security");
        case ScreenGroup::Major: return localized("ui.group.major");
        case ScreenGroup::Minor: return localized("ui.group.minor");
        case ScreenGroup::Patch: return localized("ui.group.patch");
        case ScreenGroup::Other: return localized("ui.group.other");
        case ScreenGroup::Applications: return localized("ui.group.applications");
    }
    return {};
}

void popUtf8(std::string& text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    if (!text.empty()) text.pop_back();
}

const std::vector<std::size_t>& orderFor(const UpdatesScreenModel::Orders& orders, ScreenGrouping grouping) {
    switch (grouping) {
        case ScreenGrouping::Kind: return orders.byKind;
        case ScreenGrouping::Source: return orders.bySource;
        case ScreenGrouping::None: return orders.byName;
    }
    return orders.byName;
}

std::size_t cursorLine(const ScreenList& list, std::size_t cursor) {
    if (list.rowCount() == 0) return 0;
    return list.rowLines[std::min(cursor, list.rowCount() - 1)];
}

// The listed rows under the cursor's group header (every listed row without grouping).
std::vector<std::size_t> cursorGroup(const ScreenList& list, std::size_t cursor) {
    std::vector<std::size_t> positions;
    if (list.rowCount() == 0) return positions;
    std::size_t first = std::min(cursor, list.rowCount() - 1), last = first;
    const auto sameGroup = [&](std::size_t a, std::size_t b) {
        return list.rowLines[b] == list.rowLines[a] + 1 || list.rowLines[a] == list.rowLines[b] + 1;
    };
    while (first > 0 && sameGroup(first - 1, first)) --first;
    while (last + 1 < list.rowCount() && sameGroup(last, last + 1)) ++last;
    for (std::size_t i = first; i <= last; ++i) positions.push_back(i);
    return positions;
}

// Space and `a` tag; `a` leaves out what a user should weigh one by one and says so.
void tagGroup(UpdatesScreenState& state, const ScreenList& list) {
    std::size_t tagged = 0, security = 0, zeroMajor = 0;
    for (std::size_t position : cursorGroup(list, state.cursor)) {
        const ScreenRow& row = list.rowAt(position);
        if (!row.updateable) continue;
        if (row.security) {
            ++security;
        } else if (row.zeroMajor) {
            ++zeroMajor;
        } else {
            tagged += state.tagged.insert(row.id).second ? 1 : 0;
        }
    }
    state.status = localized("ui.status.tagged", {std::to_string(tagged)});
    if (security > 0 || zeroMajor > 0) {
        state.status += ' ';
        state.status += localized("ui.status.left_untagged", {std::to_string(security), std::to_string(zeroMajor)});
    }
}

std::vector<std::string> chosenIds(const UpdatesScreenState& state, const UpdatesScreenModel& model,
                                   const ScreenList& list) {
    std::vector<std::string> ids;
    for (const ScreenRow& row : model.rows) {
        if (state.tagged.count(row.id) > 0) ids.push_back(row.id);
    }
    if (ids.empty() && list.rowCount() > 0) ids.push_back(list.rowAt(std::min(state.cursor, list.rowCount() - 1)).id);
    return ids;
}

void move(UpdatesScreenState& state, const ScreenList& list, long long delta) {
    if (list.rowCount() == 0) {
        state.cursor = 0;
        return;
    }
    const long long last = static_cast<long long>(list.rowCount()) - 1;
    state.cursor = static_cast<std::size_t>(std::clamp(static_cast<long long>(state.cursor) + delta, 0LL, last));
}

bool handleFilterKey(UpdatesScreenState& state, ScreenKey key) {
    switch (key.kind) {
        case ScreenKey::Kind::Character:
            appendUtf8(state.filter, key.character);
            break;
        case ScreenKey::Kind::Backspace:
            popUtf8(state.filter);
            break;
        case ScreenKey::Kind::Enter:
            state.editingFilter = false;
            return true;
        case ScreenKey::Kind::Escape:
            state.filter.clear();
            state.editingFilter = false;
            break;
        default:
            return false;  // moving keys keep working while the filter is typed
    }
    state.cursor = 0;
    state.top = 0;
    return true;
}

ScreenCommand handlePaneKey(UpdatesScreenState& state, const ScreenList& list, ScreenKey key) {
    const bool escape = key.kind == ScreenKey::Kind::Escape || key.kind == ScreenKey::Kind::Interrupt;
    if (state.pane == ScreenPane::Password) return {};
    if (state.pane == ScreenPane::ConfirmUpdate) {
        const char32_t c = key.character;
        const bool yes = key.kind == ScreenKey::Kind::Enter ||
                         (key.kind == ScreenKey::Kind::Character && (c == 'y' || c == 'Y' || c == 'o' || c == 'O'));
        if (yes) {
            state.pane = ScreenPane::None;
            return {ScreenCommand::Kind::Update, std::move(state.confirmIds), {}};
        }
        if (escape || (key.kind == ScreenKey::Kind::Character && (c == 'n' || c == 'N' || c == 'q'))) {
            state.pane = ScreenPane::None;
            state.confirmIds.clear();
            state.status = localized("ui.status.update_declined");
        }
        return {};
    }
    if (state.pane == ScreenPane::SnoozeChoice) {
        state.pane = ScreenPane::None;
        if (key.kind != ScreenKey::Kind::Character || list.rowCount() == 0) return {};
        ScreenCommand command{ScreenCommand::Kind::Snooze, {list.rowAt(state.cursor).id}, {}};
        switch (key.character) {
            case '1': command.snoozeFor = std::chrono::hours(24); break;
            case '2': command.snoozeFor = std::chrono::hours(24 * 7); break;
            case '3': command.snoozeFor = std::chrono::hours(24 * 30); break;
            case '4': break;  // indefinitely
            default: return {};
        }
        return command;
    }
    // Help closes on any key.
    state.pane = ScreenPane::None;
    return {};
}

}  // namespace

ScreenList listRows(const UpdatesScreenModel& model, const UpdatesScreenState& state) {
    ScreenList list;
    list.rows = state.showIgnored ? &model.ignored : &model.rows;
    const std::vector<std::size_t>& order = orderFor(state.showIgnored ? model.ignoredOrders : model.rowOrders,
                                                     state.grouping);
    const bool inverted = !state.filter.empty() && state.filter.front() == '!';
    const std::string needle = foldForComparison(inverted ? std::string_view(state.filter).substr(1) : state.filter);
    std::optional<std::size_t> headerLine;
    const ScreenRow* previous = nullptr;
    for (std::size_t index : order) {
        const ScreenRow& row = (*list.rows)[index];
        if (!needle.empty() && contains(row.folded, needle) == inverted) continue;
        const bool newGroup = state.grouping == ScreenGrouping::Kind     ? !previous || previous->group != row.group
                              : state.grouping == ScreenGrouping::Source ? !previous || previous->source != row.source
                                                                         : false;
        if (newGroup) {
            ScreenListLine header;
            header.header = true;
            header.title = state.grouping == ScreenGrouping::Kind ? groupTitle(row.group) : row.source;
            headerLine = list.lines.size();
            list.lines.push_back(std::move(header));
        }
        if (headerLine) ++list.lines[*headerLine].count;
        list.rowLines.push_back(list.lines.size());
        list.lines.push_back({false, index, {}, 0});
        previous = &row;
    }
    return list;
}

std::size_t listHeight(const UpdatesScreenState& state, std::size_t height) {
    if (height <= kFixedLines + 1) return 1;
    const std::size_t body = height - kFixedLines;
    // Help needs the room; the other panes share it with the list, whose cursor row they describe.
    if (state.pane == ScreenPane::Help) return 1;
    return state.pane == ScreenPane::None ? body : body - body / 2;
}

std::size_t scrolledTop(const ScreenList& list, const UpdatesScreenState& state, std::size_t height) {
    const std::size_t room = listHeight(state, height);
    std::size_t top = state.top;
    if (list.lines.size() <= room) return 0;
    top = std::min(top, list.lines.size() - room);
    std::size_t line = cursorLine(list, state.cursor);
    // The header above the first row of a group comes into view with it.
    if (line > 0 && list.lines[line - 1].header && line - 1 < top) line = line - 1;
    if (line < top) top = line;
    const std::size_t cursor = cursorLine(list, state.cursor);
    if (cursor >= top + room) top = cursor + 1 - room;
    return top;
}

ScreenCommand handleKey(UpdatesScreenState& state, const UpdatesScreenModel& model, ScreenKey key, std::size_t height) {
    ScreenList list = listRows(model, state);
    ScreenCommand command;
    const auto settle = [&] {
        list = listRows(model, state);
        move(state, list, 0);
        state.top = scrolledTop(list, state, height);
    };
    if (state.editingFilter && handleFilterKey(state, key)) {
        settle();
        return command;
    }
    if (state.pane != ScreenPane::None && state.pane != ScreenPane::Detail) {
        command = handlePaneKey(state, list, key);
        settle();
        return command;
    }
    const std::size_t page = std::max<std::size_t>(1, listHeight(state, height) - 1);
    const char32_t c = key.kind == ScreenKey::Kind::Character ? key.character : 0;
    const bool onRow = list.rowCount() > 0;
    if (key.kind == ScreenKey::Kind::Up || c == 'k') {
        move(state, list, -1);
    } else if (key.kind == ScreenKey::Kind::Down || c == 'j') {
        move(state, list, 1);
    } else if (key.kind == ScreenKey::Kind::PageUp) {
        move(state, list, -static_cast<long long>(page));
    } else if (key.kind == ScreenKey::Kind::PageDown) {
        move(state, list, static_cast<long long>(page));
    } else if (key.kind == ScreenKey::Kind::Home) {
        state.cursor = 0;
    } else if (key.kind == ScreenKey::Kind::End || c == 'G') {
        state.cursor = list.rowCount() == 0 ? 0 : list.rowCount() - 1;
    } else if (key.kind == ScreenKey::Kind::Enter) {
        state.pane = state.pane == ScreenPane::Detail ? ScreenPane::None : ScreenPane::Detail;
    } else if (key.kind == ScreenKey::Kind::Escape) {
        state.pane = ScreenPane::None;
        state.filter.clear();
        state.status.clear();
    } else if (key.kind == ScreenKey::Kind::Interrupt) {
        command.kind = state.busy ? ScreenCommand::Kind::Cancel : ScreenCommand::Kind::Quit;
    } else if (c == 'q') {
        command.kind = ScreenCommand::Kind::Quit;
    } else if (c == '?') {
        state.pane = ScreenPane::Help;
    } else if (c == '/') {
        state.editingFilter = true;
    } else if (c == 'g') {
        state.grouping = state.grouping == ScreenGrouping::Kind     ? ScreenGrouping::Source
                         : state.grouping == ScreenGrouping::Source ? ScreenGrouping::None
                                                                    : ScreenGrouping::Kind;
        state.cursor = 0;
        state.top = 0;
    } else if (c == 'v') {
        state.showIgnored = !state.showIgnored;
        state.cursor = 0;
        state.top = 0;
        state.pane = ScreenPane::None;
    } else if (c == 'A') {
        state.tagged.clear();
        state.status.clear();
    } else if (state.showIgnored && (c == ' ' || c == 'a' || c == 'u' || c == 'i' || c == 's' || c == 'x')) {
        state.status = localized("ui.status.in_ignored_view");
    } else if (c == 'U') {
        if (!state.showIgnored) {
            state.status = localized("ui.status.unignore_in_ignored_view");
        } else if (onRow) {
            command = {ScreenCommand::Kind::Unignore, {list.rowAt(state.cursor).id}, {}};
        }
    } else if (c == ' ' && onRow) {
        const std::string& id = list.rowAt(state.cursor).id;
        if (state.tagged.erase(id) == 0) state.tagged.insert(id);
        move(state, list, 1);
    } else if (c == 'a' && onRow) {
        tagGroup(state, list);
    } else if (state.busy && (c == 'u' || c == 'r')) {
        state.status = localized("ui.status.busy");
    } else if (c == 'u' && onRow) {
        command = {ScreenCommand::Kind::PlanUpdate, chosenIds(state, model, list), {}};
    } else if (c == 'i' && onRow) {
        command = {ScreenCommand::Kind::Ignore, {list.rowAt(state.cursor).id}, {}};
    } else if (c == 'x' && onRow) {
        command = {ScreenCommand::Kind::Skip, {list.rowAt(state.cursor).id}, {}};
    } else if (c == 's' && onRow) {
        state.pane = ScreenPane::SnoozeChoice;
    } else if (c == 'r') {
        command.kind = ScreenCommand::Kind::Rescan;
    }
    settle();
    return command;
}

void clampToModel(UpdatesScreenState& state, const UpdatesScreenModel& model, std::size_t height) {
    std::set<std::string> present;
    for (const ScreenRow& row : model.rows) {
        if (state.tagged.count(row.id) > 0) present.insert(row.id);
    }
    state.tagged = std::move(present);
    const ScreenList list = listRows(model, state);
    move(state, list, 0);
    state.top = scrolledTop(list, state, height);
}

}  // namespace vt
