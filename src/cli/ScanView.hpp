#pragma once

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/Output.hpp"

namespace vt {
class ScanProgressModel;
struct ScanProgressSnapshot;
}  // namespace vt

namespace vt::cli {

// Shows a running scan on standard error. On a terminal: one line per scanner with its
// state, count and current item, under an overall progress bar, redrawn in place. Elsewhere:
// a plain line for each change, with no cursor movement and no colour.
class ScanView {
public:
    ScanView(const ScanProgressModel& progress, Style style);
    ~ScanView();
    ScanView(const ScanView&) = delete;
    ScanView& operator=(const ScanView&) = delete;

    void start();
    // Draws the last state once more and stops.
    void finish();

private:
    // `tick` moves the spinner; below zero, the last frame, without one.
    void drawLive(const ScanProgressSnapshot& snapshot, int tick);
    // Redraws the block in place of the one drawn before.
    void drawBlock(const std::vector<std::string>& lines, std::size_t columns);
    void printChanges(const ScanProgressSnapshot& snapshot);

    const ScanProgressModel& progress_;
    Style style_;
    std::jthread thread_;
    int drawnLines_ = 0;
    std::map<std::string, std::string> lastPrinted_;
    std::string lastStep_;
};

}  // namespace vt::cli
