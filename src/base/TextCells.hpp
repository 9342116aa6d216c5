#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// How many terminal cells UTF-8 text takes: CJK ideographs and most emoji take two,
// combining marks none, by the C library's Unicode tables (whatever the user's locale).
// Control characters and invalid bytes count as one cell each, as the text they are
// replaced with does.
std::size_t cellWidth(std::string_view text);

// The byte offset after the longest start of `text` that fits in `width` cells, and the one
// where the longest end that fits begins: a wide character is never cut in half.
std::size_t prefixFittingCells(std::string_view text, std::size_t width);
std::size_t suffixFittingCells(std::string_view text, std::size_t width);

// The text cut to at most `width` cells (an ellipsis marks the cut; a wide character that
// would straddle the edge is left out), then padded with spaces to exactly `width` cells.
// Control characters become spaces, so that the result is safe to draw.
std::string fitCells(std::string_view text, std::size_t width);

// The text's words in lines of at most `width` cells, broken at spaces; a word wider than
// that has a line of its own, whole.
std::vector<std::string> wrapCells(std::string_view text, std::size_t width);

}  // namespace vt
