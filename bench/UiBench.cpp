// The interactive table over 20,000 rows: a key press and the frame drawn after it, by the
// renderer alone and through ncurses to a terminal that writes to /dev/null, against
// formatting the same rows once as the plain text of `list`. The last line is the ratio of a
// frame to the plain text.
//
//   UiBench [rows=20000] [frames=300]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "BenchSupport.hpp"
#include "base/Localization.hpp"
#include "base/TextCells.hpp"
#include "cli/CursesScreen.hpp"
#include "presentation/UpdatesScreenRenderer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

vt::UpdatesScreenModel makeModel(int count) {
    static const char* kWords[] = {"alpha", "Beta", "gamma", "Delta", "élan", "Zeta", "日本語", "Kappa", "sigma", "Tau"};
    vt::UpdatesScreenModel model;
    for (int i = 0; i < count; ++i) {
        vt::ScreenRow row;
        row.name = std::string(kWords[i % 10]) + "-" + kWords[(i / 10) % 10] + "-" + std::to_string(i);
        row.source = "Source " + std::to_string(i % 40);
        row.id = "package:" + row.source + ":" + row.name;
        row.installed = "1." + std::to_string(i % 50) + ".0";
        row.latest = (i % 3 == 0 ? "2." : "1.") + std::to_string(i % 70) + ".1";
        row.group = vt::screenGroupOf(vt::classifyUpdate(row.installed, row.latest, i % 97 == 0), true);
        row.updateable = true;
        if (i % 5 == 0) row.ageDays = i % 400;
        model.rows.push_back(std::move(row));
    }
    model.finish();
    return model;
}

// The floor: the same rows as `list` prints them, names, versions and sources padded.
std::string plainText(const vt::UpdatesScreenModel& model) {
    std::string out;
    for (const vt::ScreenRow& row : model.rows) {
        out += vt::fitCells(row.name, 40);
        out += "  ";
        out += vt::fitCells(row.installed, 10);
        out += "  ";
        out += vt::fitCells(row.latest, 10);
        out += "  ";
        out += vt::fitCells(row.source, 12);
        out += '\n';
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int rows = vt::bench::argument(argc, argv, 1, 20000);
    const int frames = vt::bench::argument(argc, argv, 2, 300);
    vt::setLanguage(vt::Language::English);
    const vt::UpdatesScreenModel model = makeModel(rows);
    constexpr std::size_t kWidth = 120, kHeight = 40;
    const vt::ScreenKey keys[] = {vt::ScreenKey::of(vt::ScreenKey::Kind::Down), vt::ScreenKey::of(vt::ScreenKey::Kind::PageDown),
                                  vt::ScreenKey::of(' '), vt::ScreenKey::of('g')};

    vt::UpdatesScreenState state;
    std::vector<double> renderer;
    std::size_t cells = 0;
    for (int i = 0; i < frames; ++i) {
        const auto start = Clock::now();
        (void)vt::handleKey(state, model, keys[i % 4], kHeight);
        const std::vector<vt::ScreenLine> screen = vt::renderUpdatesScreen(model, state, kWidth, kHeight);
        renderer.push_back(millisecondsSince(start));
        cells += screen.size();
    }

    std::vector<double> drawn;
    {
        // ncurses writes to a copy of descriptor 1: /dev/null for the time of the frames.
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
        vt::cli::CursesScreen terminal(true);
        if (!terminal.isOpen()) vt::bench::fail("UiBench", "no terminal description (set TERM)");
        for (int i = 0; i < frames; ++i) {
            const auto start = Clock::now();
            (void)vt::handleKey(state, model, keys[i % 4], kHeight);
            terminal.draw(vt::renderUpdatesScreen(model, state, kWidth, kHeight));
            drawn.push_back(millisecondsSince(start));
        }
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }

    std::vector<double> plain;
    std::size_t bytes = 0;
    for (int i = 0; i < 15; ++i) {
        const auto start = Clock::now();
        bytes += plainText(model).size();
        plain.push_back(millisecondsSince(start));
    }

    const double frame = median(renderer), screen = median(drawn), list = median(plain);
    std::printf("rows %d, frames %d (%zu lines drawn, %zu bytes of plain text)\n", rows, frames, cells, bytes / 15);
    std::printf("renderer, key press to frame: %.3f ms median (target under 2 ms)\n", frame);
    std::printf("through ncurses to the terminal: %.3f ms median (target under 16 ms)\n", screen);
    std::printf("plain list text of the same rows: %.3f ms median\n", list);
    std::printf("frame/plain text: %.3f\n", frame / list);
    return 0;
}
