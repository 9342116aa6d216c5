#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cli/Output.hpp"

namespace vt::cli {

// One column of a TextTable: its title, how its cells may be shortened, and when it goes
// away when the terminal is too narrow.
struct Column {
    enum class Elide { Never, End, Middle, Start };
    std::string title;
    Elide elide = Elide::End;
    std::size_t minimumWidth = 0;  // an elided cell keeps at least this many columns
    int dropRank = 0;              // 0: always shown; else dropped in increasing rank
    // Shortened only once every other elidable column is at its minimum: a version cut in
    // the middle says less than a name or a command cut at one end.
    bool elideLast = false;
};

// A cell's colour, applied once the cell has its final width.
enum class Tone { Plain, Bold, Dim, Green, Yellow, Red };

struct Cell {
    std::string text;
    Tone tone = Tone::Plain;
    Cell(std::string cellText, Tone cellTone = Tone::Plain) : text(std::move(cellText)), tone(cellTone) {}
    Cell(const char* cellText) : text(cellText) {}
};

// Aligned columns that fit a width: when the natural widths are too wide the elidable
// columns are shortened (the widest first, never below their minimum, those marked
// elideLast after the others), then columns are dropped by rank, the least useful first; a
// line is never longer than the width. Cells are single lines of printable text.
class TextTable {
public:
    static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

    explicit TextTable(std::vector<Column> columns);

    // A row; `note` is a line shown under it, indented.
    void add(std::vector<Cell> cells, std::optional<std::string> note = std::nullopt);
    bool empty() const noexcept { return rows_.empty(); }

    // The title line and the rows, each ending in "\n"; nothing when there are no rows.
    // Columns whose every cell is empty are left out.
    std::string render(const Style& style, std::size_t width = kUnlimited) const;

private:
    struct Row {
        std::vector<Cell> cells;
        std::optional<std::string> note;
    };
    std::vector<std::size_t> layout(std::vector<bool>& shown, std::size_t width) const;

    std::vector<Column> columns_;
    std::vector<Row> rows_;
};

// Shortens text to `width` display columns with an ellipsis at the end or in the middle.
std::string elide(const std::string& text, std::size_t width, Column::Elide where);

// How wide standard output's lines may be: the terminal's width, unlimited in a pipe.
std::size_t outputWidth();

}  // namespace vt::cli
