#include "cli/ScanView.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

#include "base/PrintableText.hpp"
#include "base/Localization.hpp"
#include "base/TextCells.hpp"
#include "core/ScanProgressModel.hpp"

namespace vt::cli {

namespace {

winsize terminalSize() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) size = {};
    if (size.ws_col <= 10) size.ws_col = 80;
    if (size.ws_row == 0) size.ws_row = 24;
    return size;
}

bool isRunning(const ScannerStatus& status) {
    return status.state.kind == ScannerState::Kind::Scanning || status.state.kind == ScannerState::Kind::Checking;
}

// The sources shown in `rows` rows. A block taller than the terminal cannot be redrawn in
// place (rows that scrolled off are out of reach) and would repeat into the scrollback, so
// one row then counts those left out. Running and failed sources are kept first, then
// waiting ones, then those done; registration order is kept among those shown.
std::vector<const ScannerStatus*> shownSources(const std::vector<ScannerStatus>& statuses, std::size_t rows) {
    // Finished sources that could not learn their latest versions, or say why, are kept
    // before those that simply finished: after the scan they are what is left to read.
    auto rank = [](const ScannerStatus& status) {
        if (isRunning(status) || status.state.kind == ScannerState::Kind::Failed) return 0;
        if (status.state.kind == ScannerState::Kind::Waiting) return 1;
        const bool finished = status.state.kind == ScannerState::Kind::Finished;
        return finished && (status.latestVersionsUnknown || status.details) ? 2 : 3;
    };
    std::vector<const ScannerStatus*> shown;
    for (const ScannerStatus& status : statuses) shown.push_back(&status);
    if (shown.size() <= rows) return shown;
    std::stable_sort(shown.begin(), shown.end(), [&](auto* a, auto* b) { return rank(*a) < rank(*b); });
    shown.resize(rows - 1);
    std::sort(shown.begin(), shown.end());  // pointers into one vector: registration order
    return shown;
}

// Cuts a line to the terminal width, so that no line wraps and the redraw stays in place.
std::string fit(const std::string& line, std::size_t columns) {
    std::string result;
    std::size_t width = 0;
    static const std::string escape = ownControl("\x1b");
    bool inEscape = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line.compare(i, escape.size(), escape) == 0) {
            result += escape;
            i += escape.size() - 1;
            inEscape = true;
            continue;
        }
        const char c = line[i];
        if (!inEscape) {
            std::size_t length = 1;
            while (i + length < line.size() && (static_cast<unsigned char>(line[i + length]) & 0xC0) == 0x80) ++length;
            const std::size_t characterWidth = cellWidth(std::string_view(line).substr(i, length));
            if (width + characterWidth >= columns) break;
            width += characterWidth;
            result.append(line, i, length);
            i += length - 1;
            continue;
        }
        result += c;
        if (inEscape && c == 'm') inEscape = false;
    }
    return result + ownControl("\x1b[0m");
}

std::string countText(const ScannerStatus& status) {
    if (!status.scannedItems) return "";
    return std::to_string(*status.scannedItems) + " " + status.unitLabel.value_or("");
}

std::string stateText(const ScannerStatus& status) {
    switch (status.state.kind) {
        case ScannerState::Kind::Waiting: return localized("scan.state.waiting");
        case ScannerState::Kind::Scanning: return localized("scan.state.scanning");
        case ScannerState::Kind::Checking: return localized("scan.state.checking");
        case ScannerState::Kind::Finished:
            return localized(status.latestVersionsUnknown ? "scan.state.done_latest_unknown" : "scan.state.done");
        case ScannerState::Kind::Skipped: return localized("scan.state.skipped");
        case ScannerState::Kind::Cancelled: return localized("scan.state.cancelled");
        case ScannerState::Kind::Failed: return localized("scan.state.failed", {status.state.message});
    }
    return "";
}

}  // namespace

ScanView::ScanView(const ScanProgressModel& progress, Style style) : progress_(progress), style_(style) {}

ScanView::~ScanView() { finish(); }

void ScanView::start() {
    if (style_.isTerminal) std::fputs(ownControl("\x1b[?25l").c_str(), stderr);  // hide the cursor while redrawing
    thread_ = std::jthread([this](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        int tick = 0;
        while (!stop.stop_requested()) {
            auto snapshot = progress_.snapshot();
            if (style_.isTerminal) {
                drawLive(snapshot, tick++);
            } else {
                printChanges(snapshot);
            }
            wake.wait_for(lock, stop, std::chrono::milliseconds(style_.isTerminal ? 100 : 250), [] { return false; });
        }
    });
}

void ScanView::finish() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    thread_.join();
    auto snapshot = progress_.snapshot();
    if (style_.isTerminal) {
        drawLive(snapshot, -1);
        std::fputs(ownControl("\x1b[?25h").c_str(), stderr);
    } else {
        printChanges(snapshot);
    }
    std::fflush(stderr);
}

void ScanView::drawLive(const ScanProgressSnapshot& snapshot, int tick) {
    // Under a locale that is not UTF-8 the marks are ASCII too.
    static constexpr const char* kSpinner[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
    static constexpr const char* kAsciiSpinner[] = {"|", "/", "-", "\\"};
    const bool unicode = unicodeOutput();
    const winsize size = terminalSize();
    const std::size_t columns = size.ws_col;
    std::vector<std::string> lines;
    const int frame = std::max(tick, 0);
    const char* spinner = unicode ? kSpinner[frame % 10] : kAsciiSpinner[frame % 4];

    // Before any source started (waiting for another process's scan): the step alone, with
    // the spinner while it lasts.
    if (snapshot.scannerStatuses.empty()) {
        if (!snapshot.currentStep.empty()) {
            lines.push_back((tick >= 0 ? style_.yellow(spinner) + " " : std::string()) + snapshot.currentStep);
        }
        drawBlock(lines, columns);
        return;
    }

    constexpr int kBarWidth = 24;
    int filled = static_cast<int>(snapshot.totalProgress * kBarWidth + 0.5);
    std::string bar;
    for (int i = 0; i < kBarWidth; ++i) bar += i < filled ? (unicode ? "█" : "#") : (unicode ? "░" : "-");
    char percent[16];
    std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(snapshot.totalProgress * 100 + 0.5));
    int total = static_cast<int>(snapshot.scannerStatuses.size());
    lines.push_back(style_.bold(localized(snapshot.isScanning ? "scan.view.scanning" : "scan.view.scanned")) + " " +
                    style_.green(bar) + " " + percent + "  " +
                    std::to_string(snapshot.completedScannerCount()) + "/" + std::to_string(total) + "  " +
                    style_.dim(snapshot.currentStep));

    std::size_t nameWidth = 8;
    for (const auto& status : snapshot.scannerStatuses) nameWidth = std::max(nameWidth, cellWidth(status.name));
    // Below the header, all rows but the cursor's.
    const std::vector<const ScannerStatus*> shown =
        shownSources(snapshot.scannerStatuses, size.ws_row > 2 ? size.ws_row - 2u : 1u);
    for (const ScannerStatus* shownStatus : shown) {
        const ScannerStatus& status = *shownStatus;
        std::string mark;
        switch (status.state.kind) {
            case ScannerState::Kind::Finished:
                // Done, but what it did not answer for is not known to be up to date.
                mark = status.latestVersionsUnknown ? style_.yellow("?") : style_.green(unicode ? "✓" : "+");
                break;
            case ScannerState::Kind::Failed: mark = style_.red(unicode ? "✗" : "x"); break;
            case ScannerState::Kind::Scanning:
            case ScannerState::Kind::Checking: mark = style_.yellow(spinner); break;
            case ScannerState::Kind::Cancelled:
            case ScannerState::Kind::Skipped: mark = style_.dim("-"); break;
            case ScannerState::Kind::Waiting: mark = style_.dim(unicode ? "·" : "."); break;
        }
        std::string line = "  " + mark + " " + padRight(status.name, nameWidth) + "  " +
                           padRight(stateText(status), 10) + "  " + countText(status);
        if (isRunning(status) && status.currentItem) {
            line += "  " + style_.dim(*status.currentItem);
        } else if (status.state.kind == ScannerState::Kind::Finished && status.details) {
            line += "  " + style_.yellow(*status.details);
        }
        lines.push_back(line);
    }
    if (shown.size() < snapshot.scannerStatuses.size()) {
        const std::size_t hidden = snapshot.scannerStatuses.size() - shown.size();
        lines.push_back("  " + style_.dim(hidden == 1 ? localized("scan.view.more_source_one")
                                                      : localized("scan.view.more_sources", {std::to_string(hidden)})));
    }
    drawBlock(lines, columns);
}

void ScanView::drawBlock(const std::vector<std::string>& lines, std::size_t columns) {
    std::string frame;
    if (drawnLines_ > 0) frame += ownControl("\x1b[" + std::to_string(drawnLines_) + "F");  // back to the block's first line
    for (const auto& line : lines) frame += ownControl("\x1b[2K") + fit(line, columns) + "\n";
    for (int extra = static_cast<int>(lines.size()); extra < drawnLines_; ++extra) frame += ownControl("\x1b[2K") + "\n";
    drawnLines_ = std::max(drawnLines_, static_cast<int>(lines.size()));
    std::fputs(frame.c_str(), stderr);
    std::fflush(stderr);
}

void ScanView::printChanges(const ScanProgressSnapshot& snapshot) {
    auto printStep = [this, &snapshot] {
        if (snapshot.currentStep.empty() || snapshot.currentStep == lastStep_) return;
        std::fprintf(stderr, "scan: %s\n", snapshot.currentStep.c_str());
        lastStep_ = snapshot.currentStep;
    };
    // A step opens what the sources then do, except the last, which sums up what they did.
    if (snapshot.isScanning) printStep();
    for (const auto& status : snapshot.scannerStatuses) {
        std::string text = stateText(status);
        std::string count = countText(status);
        if (!count.empty() && status.state.isCompleted()) text += ", " + count;
        if (status.state.kind == ScannerState::Kind::Finished && status.details) text += " (" + *status.details + ")";
        auto& last = lastPrinted_[status.id];
        if (last == text) continue;
        last = text;
        std::fprintf(stderr, "scan: %s: %s\n", status.name.c_str(), text.c_str());
    }
    if (!snapshot.isScanning) printStep();
    std::fflush(stderr);
}

}  // namespace vt::cli
