#include "core/ScanProgressModel.hpp"

#include <algorithm>

#include "base/Localization.hpp"

namespace vt {

ScannerState ScannerState::failed(std::string message) {
    return {Kind::Failed, message.empty() ? localized("common.unknown_error") : std::move(message)};
}

bool ScannerState::isCompleted() const noexcept {
    return kind == Kind::Finished || kind == Kind::Failed || kind == Kind::Skipped || kind == Kind::Cancelled;
}

std::string_view toString(ScannerState::Kind kind) {
    switch (kind) {
        case ScannerState::Kind::Waiting: return "waiting";
        case ScannerState::Kind::Scanning: return "scanning";
        case ScannerState::Kind::Checking: return "checking";
        case ScannerState::Kind::Finished: return "finished";
        case ScannerState::Kind::Skipped: return "skipped";
        case ScannerState::Kind::Cancelled: return "cancelled";
        case ScannerState::Kind::Failed: return "failed";
    }
    return "waiting";
}

std::vector<ScannerStatus> ScanProgressSnapshot::completedScanners() const {
    std::vector<ScannerStatus> result;
    for (const auto& status : scannerStatuses) {
        if (status.state.isCompleted()) result.push_back(status);
    }
    return result;
}

std::vector<ScannerStatus> ScanProgressSnapshot::runningScanners() const {
    std::vector<ScannerStatus> result;
    for (const auto& status : scannerStatuses) {
        const auto kind = status.state.kind;
        if (kind == ScannerState::Kind::Scanning || kind == ScannerState::Kind::Checking) result.push_back(status);
    }
    return result;
}

const ScannerStatus* ScanProgressSnapshot::scanner(std::string_view id) const {
    for (const auto& status : scannerStatuses) {
        if (status.id == id) return &status;
    }
    return nullptr;
}

int ScanProgressSnapshot::completedScannerCount() const {
    int completed = static_cast<int>(completedScanners().size());
    return std::max(completed, completedScannersHighWatermark);
}

ScanProgressModel::ScanProgressModel(Clock& clock) : clock_(clock) {}

std::string ScanProgressModel::unitLabelKey(std::string_view id) {
    static constexpr std::string_view kApps[] = {"apps", "mas", "github", "sparkle", "tauri", "electron",
                                                 "generic-updater"};
    static constexpr std::string_view kExtensions[] = {"vscode", "vscode-insiders", "vscodium", "cursor"};
    static constexpr std::string_view kItems[] = {"apple-tools", "software-update"};
    if (std::find(std::begin(kApps), std::end(kApps), id) != std::end(kApps)) return "scan.radar.unit.apps";
    if (std::find(std::begin(kExtensions), std::end(kExtensions), id) != std::end(kExtensions)) {
        return "scan.radar.unit.extensions";
    }
    if (std::find(std::begin(kItems), std::end(kItems), id) != std::end(kItems)) return "scan.radar.unit.items";
    return "scan.radar.unit.packages";
}

void ScanProgressModel::changed(const std::function<void()>& change) {
    // Observers get the snapshots in the order they were made: changed from two threads, they
    // would otherwise be handed over in either order, an older state after a newer one.
    std::scoped_lock delivery(deliveryMutex_);
    ScanProgressSnapshot copy;
    std::vector<Observer> observers;
    {
        std::scoped_lock lock(mutex_);
        change();
        recountLocked();
        if (observers_.empty()) return;
        copy = state_;
        observers = observers_;
    }
    for (const auto& observer : observers) observer(copy);
}

void ScanProgressModel::recountLocked() {
    long long scanned = 0, estimated = 0;
    int completed = 0;
    for (const auto& status : state_.scannerStatuses) {
        scanned += status.scannedItems.value_or(0);
        estimated += status.estimatedItems.value_or(0);
        completed += status.state.isCompleted() ? 1 : 0;
    }
    state_.scannedItemsCount = scanned;
    state_.estimatedItemsCount = estimated;
    state_.completedScannersHighWatermark = std::max(state_.completedScannersHighWatermark, completed);
}

void ScanProgressModel::startScan() {
    changed([this] {
        state_ = ScanProgressSnapshot{};
        state_.isScanning = true;
    });
}

void ScanProgressModel::endScan() {
    changed([this] {
        state_.isScanning = false;
        state_.isCancelling = false;
    });
}

void ScanProgressModel::setCancelling(bool cancelling) {
    changed([&] { state_.isCancelling = cancelling; });
}

void ScanProgressModel::registerScanner(std::string id, std::string name, ScannerState state) {
    changed([&] {
        for (auto& status : state_.scannerStatuses) {
            if (status.id == id) {
                status.name = name;
                status.state = state;
                return;
            }
        }
        ScannerStatus status;
        status.unitLabel = localized(unitLabelKey(id));
        status.id = std::move(id);
        status.name = std::move(name);
        status.state = std::move(state);
        state_.scannerStatuses.push_back(std::move(status));
    });
}

void ScanProgressModel::updateScanner(std::string_view id, const std::function<void(ScannerStatus&)>& change) {
    changed([&] {
        for (auto& status : state_.scannerStatuses) {
            if (status.id == id) change(status);
        }
    });
}

void ScanProgressModel::setScannerState(std::string_view id, ScannerState state) {
    updateScanner(id, [&](ScannerStatus& status) { status.state = state; });
}

void ScanProgressModel::failScanner(std::string_view id, std::string message) {
    setScannerState(id, ScannerState::failed(std::move(message)));
}

void ScanProgressModel::appendLog(std::string source, std::string message, ScanLogEntry::LogType type) {
    ScanLogEntry entry;
    entry.timestamp = clock_.now();
    entry.source = std::move(source);
    entry.message = std::move(message);
    entry.type = type;
    changed([&] { state_.logs.push_back(std::move(entry)); });
}

void ScanProgressModel::setStep(std::string text) {
    changed([&] { state_.currentStep = std::move(text); });
}

void ScanProgressModel::setProgress(double fraction) {
    changed([&] { state_.totalProgress = std::clamp(fraction, 0.0, 1.0); });
}

ScanProgressSnapshot ScanProgressModel::snapshot() const {
    std::scoped_lock lock(mutex_);
    return state_;
}

void ScanProgressModel::addObserver(Observer observer) {
    std::scoped_lock lock(mutex_);
    observers_.push_back(std::move(observer));
}

}  // namespace vt
