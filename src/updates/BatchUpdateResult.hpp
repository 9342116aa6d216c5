#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Package.hpp"

namespace vt {

// The outcome of one item's update. An application is carried as a package of the generic
// kind named after it, with `source` saying where its update came from.
struct PackageUpdateResult {
    Package package;  // as it was before the update
    bool success = false;
    // Stopped by the user before it could end: neither updated nor failed.
    bool cancelled = false;
    // Not attempted, with `error` saying why (the version planned is no longer newer).
    bool skipped = false;
    double duration = 0;  // seconds
    std::optional<std::string> error;
    std::string suggestion;  // empty when there is none
    std::optional<std::string> command;
    bool requiresUserAction = false;
    std::optional<std::string> newVersion;  // the version installed afterwards, when known
    std::string source;                     // "Homebrew", "Mac App Store"...; the kind's name when empty

    std::string sourceLabel() const;
    Json toJson() const;
};

// Everything one batch attempted, in the order attempted.
struct BatchUpdateResult {
    std::vector<PackageUpdateResult> results;
    Clock::TimePoint startTime{}, endTime{};
    bool cancelled = false;

    std::size_t succeededCount() const;
    // Cancelled and skipped items count as neither.
    std::size_t failedCount() const;
    std::size_t cancelledCount() const;
    std::size_t skippedCount() const;
    Json toJson() const;
};

}  // namespace vt
