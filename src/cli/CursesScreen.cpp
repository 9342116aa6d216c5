#include "cli/CursesScreen.hpp"

#include <clocale>
#include <cstring>

#include <langinfo.h>
#include <unistd.h>

#include <ncurses.h>

#include "base/TextCells.hpp"

namespace vt::cli {

namespace {

enum Pair : short { kTitle = 1, kGroup, kChanged, kWarning, kError, kTag };

std::FILE* copyOf(int fd, const char* mode) {
    const int copy = ::dup(fd);
    if (copy < 0) return nullptr;
    std::FILE* file = ::fdopen(copy, mode);
    if (file == nullptr) ::close(copy);
    return file;
}

// ncurses draws UTF-8 only under a UTF-8 character type; a user in the C locale still gets
// names in their own script.
void useUtf8CharacterType() {
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

CursesScreen::CursesScreen(bool color) {
    useUtf8CharacterType();
    out_ = copyOf(STDOUT_FILENO, "w");
    in_ = copyOf(STDIN_FILENO, "r");
    if (out_ == nullptr || in_ == nullptr) return;
    screen_ = newterm(nullptr, out_, in_);
    if (screen_ == nullptr) return;
    set_term(screen_);
    raw();  // Ctrl-C is a key: it cancels a running update rather than killing the view
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    timeout(100);
    color_ = color && has_colors();
    if (color_) {
        start_color();
        use_default_colors();
        init_pair(kTitle, COLOR_BLACK, COLOR_CYAN);
        init_pair(kGroup, COLOR_BLUE, -1);
        init_pair(kChanged, COLOR_GREEN, -1);
        init_pair(kWarning, COLOR_YELLOW, -1);
        init_pair(kError, COLOR_RED, -1);
        init_pair(kTag, COLOR_MAGENTA, -1);
    }
}

CursesScreen::~CursesScreen() {
    if (screen_ != nullptr) {
        endwin();
        delscreen(screen_);
    }
    if (out_ != nullptr) std::fclose(out_);
    if (in_ != nullptr) std::fclose(in_);
}

std::size_t CursesScreen::width() const { return static_cast<std::size_t>(std::max(0, COLS)); }
std::size_t CursesScreen::height() const { return static_cast<std::size_t>(std::max(0, LINES)); }

int CursesScreen::attributesOf(ScreenAttribute attribute) const {
    const auto colored = [this](short pair, int plain) { return color_ ? static_cast<int>(COLOR_PAIR(pair)) : plain; };
    switch (attribute) {
        case ScreenAttribute::Normal: return A_NORMAL;
        case ScreenAttribute::Title: return A_BOLD | colored(kTitle, A_REVERSE);
        case ScreenAttribute::ColumnHeader: return A_BOLD | A_UNDERLINE;
        case ScreenAttribute::GroupHeader: return A_BOLD | colored(kGroup, A_NORMAL);
        case ScreenAttribute::Changed: return A_BOLD | colored(kChanged, A_NORMAL);
        case ScreenAttribute::Dim: return A_DIM;
        case ScreenAttribute::Warning: return colored(kWarning, A_BOLD);
        case ScreenAttribute::Error: return A_BOLD | colored(kError, A_NORMAL);
        case ScreenAttribute::Tag: return A_BOLD | colored(kTag, A_NORMAL);
        case ScreenAttribute::Footer: return A_REVERSE;
        case ScreenAttribute::Pane: return A_BOLD | A_REVERSE;
    }
    return A_NORMAL;
}

void CursesScreen::draw(const std::vector<ScreenLine>& lines) {
    if (screen_ == nullptr) return;
    erase();
    const int rows = std::min(static_cast<int>(lines.size()), LINES);
    for (int y = 0; y < rows; ++y) {
        const ScreenLine& line = lines[static_cast<std::size_t>(y)];
        int x = 0;
        for (const ScreenSpan& span : line.spans) {
            attrset(attributesOf(span.attribute) | (line.selected ? A_REVERSE : A_NORMAL));
            // The bottom right cell cannot be written without scrolling: ncurses says ERR and
            // draws the rest, which is what we want.
            mvaddstr(y, x, span.text.c_str());
            x += static_cast<int>(cellWidth(span.text));
        }
    }
    attrset(A_NORMAL);
    refresh();
}

CursesScreen::Input CursesScreen::read() {
    Input input;
    if (screen_ == nullptr) return input;
    wint_t c = 0;
    const int kind = get_wch(&c);
    if (kind == ERR) return input;
    using Kind = ScreenKey::Kind;
    if (kind == KEY_CODE_YES) {
        switch (c) {
            case KEY_RESIZE: input.resized = true; break;
            case KEY_UP: input.key = ScreenKey::of(Kind::Up); break;
            case KEY_DOWN: input.key = ScreenKey::of(Kind::Down); break;
            case KEY_PPAGE: input.key = ScreenKey::of(Kind::PageUp); break;
            case KEY_NPAGE: input.key = ScreenKey::of(Kind::PageDown); break;
            case KEY_HOME: input.key = ScreenKey::of(Kind::Home); break;
            case KEY_END: input.key = ScreenKey::of(Kind::End); break;
            case KEY_ENTER: input.key = ScreenKey::of(Kind::Enter); break;
            case KEY_BACKSPACE: input.key = ScreenKey::of(Kind::Backspace); break;
            default: break;
        }
        return input;
    }
    switch (c) {
        case '\r':
        case '\n': input.key = ScreenKey::of(Kind::Enter); break;
        case 27: input.key = ScreenKey::of(Kind::Escape); break;
        case 3: input.key = ScreenKey::of(Kind::Interrupt); break;
        case 8:
        case 127: input.key = ScreenKey::of(Kind::Backspace); break;
        default:
            if (c >= 0x20) input.key = ScreenKey::of(static_cast<char32_t>(c));
    }
    return input;
}

}  // namespace vt::cli
