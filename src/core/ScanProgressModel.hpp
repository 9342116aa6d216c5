#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Uuid.hpp"

namespace vt {

// A scanner lists what is installed (Scanning), then checks it for updates (Checking),
// then ends in one of the completed states.
struct ScannerState {
    enum class Kind { Waiting, Scanning, Checking, Finished, Skipped, Cancelled, Failed };
    Kind kind = Kind::Waiting;
    std::string message;  // for Failed

    static ScannerState failed(std::string message);
    bool isCompleted() const noexcept;
    friend bool operator==(const ScannerState&, const ScannerState&) = default;
};

std::string_view toString(ScannerState::Kind kind);

struct ScannerStatus {
    std::string id;
    std::string name;
    ScannerState state;
    std::optional<double> progress;
    std::optional<std::string> details;
    std::optional<long long> scannedItems;
    std::optional<long long> estimatedItems;
    std::optional<std::string> currentItem;
    std::optional<std::string> unitLabel;
    bool latestVersionsUnknown = false;  // its update check could not learn them (see details)
};

struct ScanLogEntry {
    enum class LogType { Info, Success, Warning, Error };
    Uuid id = Uuid::random();
    Clock::TimePoint timestamp{};
    std::string source;
    std::string message;
    LogType type = LogType::Info;
};

// A copy of everything the model holds, for readers on any thread.
struct ScanProgressSnapshot {
    double totalProgress = 0;
    std::string currentStep;
    bool isScanning = false;
    bool isCancelling = false;
    long long scannedItemsCount = 0;
    long long estimatedItemsCount = 0;
    std::vector<ScannerStatus> scannerStatuses;  // in registration order
    int completedScannersHighWatermark = 0;
    std::vector<ScanLogEntry> logs;

    std::vector<ScannerStatus> completedScanners() const;
    // Those listing or checking.
    std::vector<ScannerStatus> runningScanners() const;
    const ScannerStatus* scanner(std::string_view id) const;
    // Never lower than an earlier count of this scan.
    int completedScannerCount() const;
};

// What a scan is doing, for the interface: written by the refresh pipeline only, read
// through snapshots. Observers are called after each change, on the writer's thread,
// with no lock held. Thread-safe.
class ScanProgressModel {
public:
    static constexpr std::string_view kPostScanStatusID = "post-scan-checks";

    using Observer = std::function<void(const ScanProgressSnapshot&)>;

    explicit ScanProgressModel(Clock& clock = Clock::shared());

    void startScan();
    void endScan();
    void setCancelling(bool cancelling);

    // Adds the scanner, or replaces the fields of the one with this id.
    void registerScanner(std::string id, std::string name, ScannerState state = {});
    void updateScanner(std::string_view id, const std::function<void(ScannerStatus&)>& change);
    void setScannerState(std::string_view id, ScannerState state);
    // A failure without a message reads "Unknown error" (in the user's language).
    void failScanner(std::string_view id, std::string message);

    void appendLog(std::string source, std::string message, ScanLogEntry::LogType type = ScanLogEntry::LogType::Info);
    void setStep(std::string text);
    void setProgress(double fraction);

    ScanProgressSnapshot snapshot() const;
    // Called with each new snapshot, in the order they were made, on the thread that made the
    // change; an observer must not change the model.
    void addObserver(Observer observer);

    // The localized unit of a scanner's counts ("scan.radar.unit.packages" and the like).
    static std::string unitLabelKey(std::string_view scannerId);

private:
    void changed(const std::function<void()>& change);
    void recountLocked();

    Clock& clock_;
    mutable std::mutex mutex_;
    std::mutex deliveryMutex_;  // taken before mutex_, held while the observers are called
    ScanProgressSnapshot state_;
    std::vector<Observer> observers_;
};

}  // namespace vt
