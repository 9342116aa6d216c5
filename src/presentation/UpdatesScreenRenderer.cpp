#include "presentation/UpdatesScreenRenderer.hpp"

#include <algorithm>

#include "base/Localization.hpp"
#include "base/TextCells.hpp"

namespace vt {

namespace {

constexpr std::size_t kMarkWidth = 2;
constexpr std::size_t kAgeWidth = 4;
constexpr std::size_t kFlagsWidth = 10;
constexpr std::size_t kMaxSourceWidth = 14;
// The versions' width before the optional columns get theirs; beyond it they grow only with
// room to spare. Below the minimum they are left out rather than shown as a stub.
constexpr std::size_t kVersionsWidth = 28;
constexpr std::size_t kMinVersionsWidth = 8;
// The name's width before anything else gets any, and the width it grows to before the
// versions take the rest of the room they need.
constexpr std::size_t kMinNameWidth = 16;
constexpr std::size_t kNameWidth = 32;

using Spans = std::vector<ScreenSpan>;

// The spans cut to exactly `width` cells: an ellipsis where text was cut, spaces after.
Spans fitSpans(const Spans& spans, std::size_t width) {
    Spans out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < spans.size() && used < width; ++i) {
        const std::size_t cells = cellWidth(spans[i].text);
        const bool last = used + cells >= width;
        if (!last) {
            out.push_back({fitCells(spans[i].text, cells), spans[i].attribute});
            used += cells;
            continue;
        }
        // The whole remaining text decides whether this span is cut.
        std::size_t rest = 0;
        for (std::size_t k = i; k < spans.size(); ++k) rest += cellWidth(spans[k].text);
        std::string text = spans[i].text;
        if (rest > width - used && cells == width - used) text += "…";  // later spans did not fit
        out.push_back({fitCells(text, width - used), spans[i].attribute});
        used = width;
    }
    if (used < width) {
        const ScreenAttribute attribute = out.empty() ? ScreenAttribute::Normal : out.back().attribute;
        out.push_back({std::string(width - used, ' '), attribute});
    }
    return out;
}

ScreenLine lineOf(const Spans& spans, std::size_t width, bool selected = false) {
    return {fitSpans(spans, width), selected};
}

ScreenLine filled(std::string text, ScreenAttribute attribute, std::size_t width) {
    return lineOf({{std::move(text), attribute}}, width);
}

void append(Spans& line, const Spans& column, std::size_t width) {
    for (ScreenSpan& span : fitSpans(column, width)) line.push_back(std::move(span));
}

bool isSeparator(char c) { return c == '.' || c == '-' || c == '+' || c == ':' || c == '_' || c == '~'; }

// "1.2.3 → 1.4.0": the latest version's part from the first component that changed. When
// both do not fit, the installed version is cut (down to "…"), then the latest one, as the
// latest one is what is decided on.
Spans versionSpans(const ScreenRow& row, std::size_t width) {
    const std::string latest = row.latest.empty() ? "?" : row.latest;
    std::string installed = row.installed;
    const std::size_t latestCells = cellWidth(latest);
    if (cellWidth(installed) + 3 + latestCells > width) {
        if (width > latestCells + 4) {
            installed = fitCells(installed, width - latestCells - 3);
            while (!installed.empty() && installed.back() == ' ') installed.pop_back();
        } else {
            installed = "…";
        }
    }
    std::size_t same = 0;
    while (same < row.installed.size() && same < latest.size() && row.installed[same] == latest[same]) ++same;
    if (row.latest.empty() || (same == latest.size() && same == row.installed.size())) {
        return {{installed + " → " + latest, ScreenAttribute::Normal}};
    }
    while (same > 0 && !isSeparator(latest[same - 1])) --same;
    return {{installed + " → " + latest.substr(0, same), ScreenAttribute::Normal},
            {latest.substr(same), ScreenAttribute::Changed}};
}

std::string ageText(long long days) {
    if (days < 14) return localized("ui.age.days", {std::to_string(std::max(0LL, days))});
    if (days < 60) return localized("ui.age.weeks", {std::to_string(days / 7)});
    if (days < 730) return localized("ui.age.months", {std::to_string(days / 30)});
    return localized("ui.age.years", {std::to_string(days / 365)});
}

struct Columns {
    std::size_t name = 0, source = 0, versions = 0, age = 0, flags = 0;
};

// The width is handed out in order of importance: the name (it identifies the row), the
// versions, the flags, the source, the age; what is left lets the name, then the versions,
// then the name again grow to their widest text. A column that no longer fits is left out,
// and so are the optional ones after it.
Columns columnsFor(const UpdatesScreenModel& model, std::size_t width) {
    Columns columns;
    const auto header = [](const char* key) { return cellWidth(localized(key)); };
    const std::size_t nameWanted = std::max(model.nameWidth, header("ui.column.name"));
    const std::size_t versionsWanted = std::max(model.versionsWidth, header("ui.column.versions"));
    const std::size_t sourceWanted = std::min(std::max(model.sourceWidth, header("ui.column.source")), kMaxSourceWidth);
    std::size_t room = width > kMarkWidth ? width - kMarkWidth : 0;
    const auto grow = [&room](std::size_t& column, std::size_t wanted) {
        const std::size_t more = std::min(room, wanted > column ? wanted - column : 0);
        column += more;
        room -= more;
    };
    // Each column after the name takes a space before it.
    const auto place = [&room](std::size_t& column, std::size_t cells) {
        if (room < cells + 1) return false;
        column = cells;
        room -= cells + 1;
        return true;
    };
    grow(columns.name, std::min(nameWanted, kMinNameWidth));
    if (room > kMinVersionsWidth) {
        place(columns.versions, std::min(room - 1, std::min(versionsWanted, kVersionsWidth)));
        if (place(columns.flags, kFlagsWidth) && place(columns.source, sourceWanted)) place(columns.age, kAgeWidth);
    }
    // Room the columns do not need goes to the end of the line, not between them.
    grow(columns.name, std::min(nameWanted, kNameWidth));
    if (columns.versions) grow(columns.versions, versionsWanted);
    grow(columns.name, nameWanted);
    return columns;
}

Spans flagSpans(const ScreenRow& row, const UpdatesScreenState& state) {
    if (auto progress = state.rowProgress.find(row.id); progress != state.rowProgress.end()) {
        return {{progress->second, ScreenAttribute::Warning}};
    }
    if (state.failures.count(row.id) > 0) return {{localized("ui.flag.failed"), ScreenAttribute::Error}};
    if (!row.status.empty()) return {{row.status, ScreenAttribute::Dim}};
    Spans spans;
    const auto add = [&spans](const std::string& text, ScreenAttribute attribute) {
        if (!spans.empty()) spans.push_back({" ", ScreenAttribute::Normal});
        spans.push_back({text, attribute});
    };
    if (row.fixes > 0) add(localized("table.fixes", {std::to_string(row.fixes)}), ScreenAttribute::Error);
    if (row.offeredVulnerable) add(localized("table.vulnerable"), ScreenAttribute::Warning);
    if (row.security) add(localized("ui.flag.security"), ScreenAttribute::Error);
    if (row.zeroMajor) add("0.x", ScreenAttribute::Warning);
    if (row.pinned) add(localized("ui.flag.pinned"), ScreenAttribute::Dim);
    return spans;
}

ScreenLine rowLine(const ScreenRow& row, const UpdatesScreenState& state, const Columns& columns, std::size_t width,
                   bool selected) {
    Spans line;
    // The cursor is marked in the text too, for a terminal that shows no reverse video.
    std::string mark = selected ? ">" : " ";
    mark += state.tagged.count(row.id) > 0 ? "*" : " ";
    line.push_back({mark, ScreenAttribute::Tag});
    append(line, {{row.name, ScreenAttribute::Normal}}, columns.name);
    if (columns.source) {
        line.push_back({" "});
        append(line, {{row.source, ScreenAttribute::Dim}}, columns.source);
    }
    if (columns.versions) {
        line.push_back({" "});
        append(line, versionSpans(row, columns.versions), columns.versions);
    }
    if (columns.age) {
        line.push_back({" "});
        const std::string age = row.ageDays ? ageText(*row.ageDays) : "";
        append(line, {{std::string(columns.age - std::min(columns.age, cellWidth(age)), ' ') + age, ScreenAttribute::Dim}},
               columns.age);
    }
    if (columns.flags) {
        line.push_back({" "});
        append(line, flagSpans(row, state), columns.flags);
    }
    return lineOf(line, width, selected);
}

ScreenLine headerLine(const Columns& columns, std::size_t width) {
    Spans line{{"  ", ScreenAttribute::ColumnHeader}};
    const auto column = [&](const char* key, std::size_t cells, bool first = false) {
        if (cells == 0) return;
        if (!first) line.push_back({" ", ScreenAttribute::ColumnHeader});
        append(line, {{localized(key), ScreenAttribute::ColumnHeader}}, cells);
    };
    column("ui.column.name", columns.name, true);
    column("ui.column.source", columns.source);
    column("ui.column.versions", columns.versions);
    column("ui.column.age", columns.age);
    column("ui.column.flags", columns.flags);
    return lineOf(line, width);
}

std::string titleText(const UpdatesScreenModel& model, const UpdatesScreenState& state, const ScreenList& list) {
    std::string title = state.showIgnored
                            ? localized("ui.title.ignored", {std::to_string(model.ignored.size())})
                            : localized("ui.title", {std::to_string(model.rows.size()), std::to_string(state.tagged.size())});
    if (list.rowCount() != list.rows->size()) title += "  " + localized("ui.title.shown", {std::to_string(list.rowCount())});
    if (!state.filter.empty() && !state.editingFilter) title += "  " + localized("ui.title.filter", {state.filter});
    if (model.heldBack > 0 && !state.showIgnored) title += "  " + localized("ui.title.held_back", {std::to_string(model.heldBack)});
    return " " + title;
}

std::vector<std::string> helpLines() {
    std::vector<std::string> lines;
    for (const char* key : {"ui.help.move", "ui.help.tag", "ui.help.filter", "ui.help.group", "ui.help.detail",
                            "ui.help.update", "ui.help.ignore", "ui.help.snooze", "ui.help.skip", "ui.help.ignored",
                            "ui.help.rescan", "ui.help.quit"}) {
        lines.push_back(localized(key));
    }
    return lines;
}

std::vector<std::string> detailLines(const ScreenList& list, const UpdatesScreenState& state) {
    if (list.rowCount() == 0) return {localized("ui.detail.none")};
    const ScreenRow& row = list.rowAt(std::min(state.cursor, list.rowCount() - 1));
    std::vector<std::string> lines{row.name + "  (" + (row.shortId.empty() ? row.id : row.shortId) + ")"};
    if (auto failure = state.failures.find(row.id); failure != state.failures.end()) {
        lines.push_back(localized("ui.detail.failed", {failure->second}));
    }
    lines.insert(lines.end(), row.details.begin(), row.details.end());
    return lines;
}

// The pane's title and its lines, in the lower part of the body.
void addPane(std::vector<ScreenLine>& screen, const UpdatesScreenState& state, const ScreenList& list,
             std::size_t paneHeight, std::size_t width) {
    if (paneHeight == 0) return;
    std::string title;
    std::vector<std::string> lines;
    switch (state.pane) {
        case ScreenPane::Detail:
            title = localized("ui.pane.detail");
            lines = detailLines(list, state);
            break;
        case ScreenPane::Help:
            title = localized("ui.pane.help");
            lines = helpLines();
            break;
        case ScreenPane::ConfirmUpdate:
            title = localized("ui.pane.confirm");
            lines = state.confirmLines;
            break;
        case ScreenPane::SnoozeChoice:
            title = localized("ui.pane.snooze", {list.rowCount() ? list.rowAt(state.cursor).name : ""});
            lines = {localized("ui.snooze.choices")};
            break;
        case ScreenPane::Password:
            // Nothing of what is typed is shown, as at the terminal's own prompt.
            title = localized("ui.pane.password");
            lines = {state.passwordQuestion, localized("admin.password_prompt"), localized("ui.password.hint")};
            break;
        case ScreenPane::None: return;
    }
    screen.push_back(filled("── " + title + " ", ScreenAttribute::Pane, width));
    for (std::size_t i = 0; i + 1 < paneHeight; ++i) {
        screen.push_back(filled(i < lines.size() ? " " + lines[i] : "", ScreenAttribute::Normal, width));
    }
}

// The key hints that fit, each whole. They are written most important first, but the last
// two (help, which lists every key, and quit) are kept longest; hints go from the end.
std::string footerText(const std::string& hints, std::size_t width) {
    std::vector<std::string> all;
    for (std::size_t start = 0; start < hints.size();) {
        const std::size_t end = std::min(hints.find("  ", start), hints.size());
        std::string hint = hints.substr(start, end - start);
        hint.erase(0, hint.find_first_not_of(' '));
        if (!hint.empty()) all.push_back(std::move(hint));
        start = end + 2;
    }
    std::vector<std::size_t> dropOrder;
    const std::size_t kept = std::min<std::size_t>(2, all.size());
    for (std::size_t i = all.size() - kept; i > 0; --i) dropOrder.push_back(i - 1);
    for (std::size_t i = all.size() - kept; i < all.size(); ++i) dropOrder.push_back(i);
    std::vector<bool> shown(all.size(), true);
    for (std::size_t dropped = 0;; ++dropped) {
        std::string text = " ";
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (shown[i]) text += (text.size() > 1 ? "  " : "") + all[i];
        }
        if (cellWidth(text) <= width || dropped == dropOrder.size()) return cellWidth(text) <= width ? text : "";
        shown[dropOrder[dropped]] = false;
    }
}

std::string statusText(const UpdatesScreenState& state) {
    if (state.editingFilter) return "/" + state.filter + "▏";
    if (state.activity.empty()) return state.status;
    return state.status.empty() ? state.activity : state.activity + " · " + state.status;
}

}  // namespace

std::string ScreenLine::text() const {
    std::string out;
    for (const ScreenSpan& span : spans) out += span.text;
    return out;
}

std::vector<ScreenLine> renderUpdatesScreen(const UpdatesScreenModel& model, const UpdatesScreenState& state,
                                            std::size_t width, std::size_t height) {
    std::vector<ScreenLine> screen;
    if (width == 0 || height == 0) return screen;
    const ScreenList list = listRows(model, state);
    const Columns columns = columnsFor(model, width);
    screen.push_back(filled(titleText(model, state, list), ScreenAttribute::Title, width));
    if (height > 1) screen.push_back(headerLine(columns, width));
    const std::size_t room = height > 4 ? listHeight(state, height) : 0;
    const std::size_t top = scrolledTop(list, state, height);
    const std::size_t cursorLine = list.rowCount() ? list.rowLines[std::min(state.cursor, list.rowCount() - 1)] : 0;
    for (std::size_t i = 0; i < room; ++i) {
        const std::size_t index = top + i;
        if (index >= list.lines.size()) {
            std::string empty;
            if (i == 0 && list.lines.empty()) {
                empty = !state.filter.empty()  ? localized("ui.empty.no_match", {state.filter})
                        : state.showIgnored    ? localized("ui.empty.no_ignored")
                                               : localized("ui.empty.no_updates");
            }
            screen.push_back(filled(empty.empty() ? "" : "  " + empty, ScreenAttribute::Dim, width));
            continue;
        }
        const ScreenListLine& line = list.lines[index];
        if (line.header) {
            screen.push_back(filled("── " + line.title + " (" + std::to_string(line.count) + ") ", ScreenAttribute::GroupHeader,
                                    width));
        } else {
            screen.push_back(rowLine((*list.rows)[line.row], state, columns, width, index == cursorLine));
        }
    }
    if (height > 4) addPane(screen, state, list, height - 4 - room, width);
    if (height > 3) screen.push_back(filled(statusText(state), ScreenAttribute::Warning, width));
    if (height > 2) {
        const std::string hints = localized(state.showIgnored ? "ui.footer.ignored" : "ui.footer");
        screen.push_back(filled(footerText(hints, width), ScreenAttribute::Footer, width));
    }
    while (screen.size() < height) screen.push_back(filled("", ScreenAttribute::Normal, width));
    screen.resize(height);
    return screen;
}

std::string screenText(const std::vector<ScreenLine>& lines) {
    std::string out;
    for (const ScreenLine& line : lines) out += line.text() + "\n";
    return out;
}

}  // namespace vt
