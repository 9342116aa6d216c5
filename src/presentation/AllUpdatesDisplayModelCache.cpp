#include "presentation/AllUpdatesDisplayModelCache.hpp"

#include <string>

namespace vt {

namespace {

void mix(std::uint64_t& hash, std::uint64_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
}

}  // namespace

std::uint64_t composeSignal(const AllUpdatesSignalParts& parts) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint64_t revision : {parts.packagesRevision, parts.applicationsRevision, parts.settingsRevision,
                                   parts.ignoresRevision, parts.runtimeGeneration, parts.manualCoordinatorRevision}) {
        mix(hash, revision);
    }
    for (std::string_view text : {parts.activeManualDownloadRowID, parts.searchText, parts.sourceFilter}) {
        mix(hash, std::hash<std::string_view>{}(text));
        mix(hash, text.size());  // "a" then "" differs from "" then "a"
    }
    return hash;
}

std::shared_ptr<const AllUpdatesDisplayModel> AllUpdatesDisplayModelCache::model(
    std::uint64_t signal, const std::function<AllUpdatesDisplayModel()>& build) {
    if (model_ && signal_ == signal) return model_;
    model_ = std::make_shared<const AllUpdatesDisplayModel>(build());
    signal_ = signal;
    return model_;
}

}  // namespace vt
