#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "presentation/AllUpdatesRowPipeline.hpp"

namespace vt {

// The revisions of everything a model is built from.
struct AllUpdatesSignalParts {
    std::uint64_t packagesRevision = 0;
    std::uint64_t applicationsRevision = 0;
    std::uint64_t settingsRevision = 0;
    std::uint64_t ignoresRevision = 0;
    std::uint64_t runtimeGeneration = 0;
    std::uint64_t manualCoordinatorRevision = 0;
    std::string_view activeManualDownloadRowID;
    std::string_view searchText;
    std::string_view sourceFilter;
};

// One number for all of them: each part is mixed in turn, so the same parts give the same
// signal and a change of any one gives another (up to hash collisions).
std::uint64_t composeSignal(const AllUpdatesSignalParts& parts);

// Keeps the last model until the signal of its inputs changes. Not thread-safe: used by the
// one thread that shows the table.
class AllUpdatesDisplayModelCache {
public:
    // The cached model when `signal` is the one it was built with; else builds, keeps and
    // returns a new one.
    std::shared_ptr<const AllUpdatesDisplayModel> model(std::uint64_t signal,
                                                        const std::function<AllUpdatesDisplayModel()>& build);
    std::optional<std::uint64_t> signal() const noexcept { return signal_; }
    void invalidate() noexcept { signal_.reset(); }

private:
    std::optional<std::uint64_t> signal_;
    std::shared_ptr<const AllUpdatesDisplayModel> model_;
};

}  // namespace vt
