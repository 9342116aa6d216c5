#pragma once

#include <string>
#include <string_view>

namespace vt {

// Text on its way to a terminal, made harmless: a version from a feed, a name from a bundle
// or a registry, a tool's error line may carry escape sequences that set the window title,
// write the clipboard or redraw lines already printed. Every control character is dropped
// (C0 but the newline and the tab, DEL, C1, and the marks that reverse the direction of
// text), and bytes that are not UTF-8 become U+FFFD.
//
// Our own control sequences (colours, progress redrawn in place) get through only when they
// were made by `ownControl()`: each of their control characters is preceded by a token drawn
// at random when the program starts, which no outside text can know.
//
// Fed in pieces: a sequence cut between two calls is completed by the next one. Not
// thread-safe; one filter per stream.
class PrintableTextFilter {
public:
    // Appends the cleaned form of `bytes` to `out`.
    void feed(std::string_view bytes, std::string& out);
    // What an unfinished sequence left pending, cleaned.
    void finish(std::string& out);

private:
    std::string pending_;
};

// The whole text cleaned at once.
std::string printableText(std::string_view text);

// The text on one line: each control character (a newline too) becomes a space.
std::string oneLine(std::string_view text);

// A control sequence of ours ("\x1b[1m", "\r\x1b[K"), marked so that the filter lets it
// through.
std::string ownControl(std::string_view sequence);

}  // namespace vt
