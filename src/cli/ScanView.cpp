#include "cli/ScanView.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

#include "base/PrintableText.hpp"
#include "base/Localization.hpp"
#include "core/ScanProgressModel.hpp"

namespace vt::cli {

namespace {

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
    return 80;
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
        if (!inEscape && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            if (width + 1 >= columns) break;
            ++width;
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
        drawLive(snapshot, 0);
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
    const std::size_t columns = static_cast<std::size_t>(terminalColumns());
    std::vector<std::string> lines;

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
    for (const auto& status : snapshot.scannerStatuses) nameWidth = std::max(nameWidth, displayWidth(status.name));
    for (const auto& status : snapshot.scannerStatuses) {
        std::string mark;
        switch (status.state.kind) {
            case ScannerState::Kind::Finished:
                // Done, but what it did not answer for is not known to be up to date.
                mark = status.latestVersionsUnknown ? style_.yellow("?") : style_.green(unicode ? "✓" : "+");
                break;
            case ScannerState::Kind::Failed: mark = style_.red(unicode ? "✗" : "x"); break;
            case ScannerState::Kind::Scanning:
            case ScannerState::Kind::Checking:
                mark = style_.yellow(unicode ? kSpinner[tick % 10] : kAsciiSpinner[tick % 4]);
                break;
            case ScannerState::Kind::Cancelled:
            case ScannerState::Kind::Skipped: mark = style_.dim("-"); break;
            case ScannerState::Kind::Waiting: mark = style_.dim(unicode ? "·" : "."); break;
        }
        std::string line = "  " + mark + " " + padRight(status.name, nameWidth) + "  " +
                           padRight(stateText(status), 10) + "  " + countText(status);
        const bool running =
            status.state.kind == ScannerState::Kind::Scanning || status.state.kind == ScannerState::Kind::Checking;
        if (running && status.currentItem) {
            line += "  " + style_.dim(*status.currentItem);
        } else if (status.state.kind == ScannerState::Kind::Finished && status.details) {
            line += "  " + style_.yellow(*status.details);
        }
        lines.push_back(line);
    }

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
