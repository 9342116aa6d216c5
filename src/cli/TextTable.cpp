#include "cli/TextTable.hpp"

#include <algorithm>
#include <numeric>

#include <sys/ioctl.h>
#include <unistd.h>

#include "base/TextCells.hpp"

namespace vt::cli {

namespace {

constexpr std::size_t kGap = 2;

std::string tinted(const Style& style, Tone tone, const std::string& text) {
    switch (tone) {
        case Tone::Plain: return text;
        case Tone::Bold: return style.bold(text);
        case Tone::Dim: return style.dim(text);
        case Tone::Green: return style.green(text);
        case Tone::Yellow: return style.yellow(text);
        case Tone::Red: return style.red(text);
    }
    return text;
}

}  // namespace

std::string elide(const std::string& text, std::size_t width, Column::Elide where) {
    const std::size_t length = cellWidth(text);
    if (length <= width) return text;
    const std::string mark = ellipsis();
    const std::size_t markWidth = cellWidth(mark);
    if (where == Column::Elide::Never || width <= markWidth) return text.substr(0, prefixFittingCells(text, width));
    const std::size_t kept = width - markWidth;
    if (where == Column::Elide::End) return text.substr(0, prefixFittingCells(text, kept)) + mark;
    if (where == Column::Elide::Start) return mark + text.substr(suffixFittingCells(text, kept));
    const std::size_t head = (kept + 1) / 2;
    const std::size_t tail = kept - head;
    return text.substr(0, prefixFittingCells(text, head)) + mark + text.substr(suffixFittingCells(text, tail));
}

std::size_t outputWidth() {
    if (::isatty(STDOUT_FILENO) != 1) return TextTable::kUnlimited;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

TextTable::TextTable(std::vector<Column> columns) : columns_(std::move(columns)) {}

void TextTable::add(std::vector<Cell> cells, std::optional<std::string> note) {
    cells.resize(columns_.size(), Cell(""));
    rows_.push_back({std::move(cells), std::move(note)});
}

std::vector<std::size_t> TextTable::layout(std::vector<bool>& shown, std::size_t width) const {
    std::vector<std::size_t> natural(columns_.size(), 0);
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        bool anyText = false;
        for (const Row& row : rows_) {
            natural[c] = std::max(natural[c], cellWidth(row.cells[c].text));
            anyText = anyText || !row.cells[c].text.empty();
        }
        shown[c] = anyText;
        if (anyText) natural[c] = std::max(natural[c], cellWidth(columns_[c].title));
    }
    while (true) {
        std::vector<std::size_t> widths = natural;
        std::size_t total = 0, count = 0;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (!shown[c]) continue;
            total += widths[c];
            ++count;
        }
        total += count > 0 ? kGap * (count - 1) : 0;
        if (total <= width) return widths;
        std::size_t overflow = total - width;
        std::size_t room = 0;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (shown[c] && columns_[c].elide != Column::Elide::Never) {
                room += widths[c] - std::min(widths[c], columns_[c].minimumWidth);
            }
        }
        if (room >= overflow) {
            // The widest elidable column gives a column at a time until the line fits, those
            // marked elideLast only when the others can give no more.
            for (bool last : {false, true}) {
                while (overflow > 0) {
                    std::size_t widest = columns_.size();
                    for (std::size_t c = 0; c < columns_.size(); ++c) {
                        if (!shown[c] || columns_[c].elide == Column::Elide::Never) continue;
                        if (columns_[c].elideLast != last || widths[c] <= columns_[c].minimumWidth) continue;
                        if (widest == columns_.size() || widths[c] > widths[widest]) widest = c;
                    }
                    if (widest == columns_.size()) break;
                    --widths[widest];
                    --overflow;
                }
            }
            return widths;
        }
        // Not enough: the least useful column goes, and the others get their room back.
        std::size_t victim = columns_.size();
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (!shown[c] || columns_[c].dropRank == 0) continue;
            if (victim == columns_.size() || columns_[c].dropRank < columns_[victim].dropRank) victim = c;
        }
        if (victim == columns_.size()) {
            // Nothing left to drop: every elidable column at its minimum, lines cut at the width.
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                if (columns_[c].elide != Column::Elide::Never) widths[c] = std::min(widths[c], columns_[c].minimumWidth);
            }
            return widths;
        }
        shown[victim] = false;
    }
}

std::string TextTable::render(const Style& style, std::size_t width) const {
    if (rows_.empty()) return "";
    std::vector<bool> shown(columns_.size(), true);
    const std::vector<std::size_t> widths = layout(shown, width);
    std::size_t last = 0;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (shown[c]) last = c;
    }
    auto line = [&](const std::vector<Cell>& cells, bool title) {
        std::string plain, out;
        std::size_t used = 0;
        bool first = true;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (!shown[c]) continue;
            if (!first) {
                out += std::string(kGap, ' ');
                used += kGap;
            }
            first = false;
            const Column& column = columns_[c];
            std::string text = elide(title ? column.title : cells[c].text, widths[c], column.elide);
            // A line never passes the width, whatever the columns left.
            if (used >= width) break;
            text = elide(text, std::min(widths[c], width - used), Column::Elide::End);
            const std::size_t shownWidth = cellWidth(text);
            const std::size_t padding = c == last ? 0 : widths[c] - std::min(widths[c], shownWidth);
            out += tinted(style, title ? Tone::Bold : cells[c].tone, text);
            out += std::string(padding, ' ');
            used += shownWidth + padding;
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    };
    std::string out = line({}, true);
    for (const Row& row : rows_) {
        out += line(row.cells, false);
        if (!row.note) continue;
        const std::size_t room = width == kUnlimited ? kUnlimited : (width > 2 ? width - 2 : 0);
        out += "  " + style.dim(elide(*row.note, room, Column::Elide::End)) + "\n";
    }
    return out;
}

}  // namespace vt::cli
