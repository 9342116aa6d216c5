#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "presentation/AllUpdateRow.hpp"
#include "presentation/AllUpdatesRuntimeState.hpp"

namespace vt {

// Why a row is out of the table apart from visibility and search.
enum class RowHiding { Shown, Hidden, HeldBack };

// The table as the views get it: immutable once built. Rows are held once, in `sourceRows`;
// the other members refer to them by index, so a model is moved, never copied.
struct AllUpdatesDisplayModel {
    AllUpdatesDisplayModel() = default;
    AllUpdatesDisplayModel(const AllUpdatesDisplayModel&) = delete;
    AllUpdatesDisplayModel& operator=(const AllUpdatesDisplayModel&) = delete;
    AllUpdatesDisplayModel(AllUpdatesDisplayModel&&) = default;
    AllUpdatesDisplayModel& operator=(AllUpdatesDisplayModel&&) = default;

    std::vector<AllUpdateRow> sourceRows;        // every row built, before filtering
    std::vector<std::size_t> displayRows;        // the rows shown, in order
    std::vector<AllUpdateRowActionState> actionStates;  // of each shown row, in the same order
    std::unordered_map<std::string, std::size_t> rowsByID;  // shown rows: id to position in displayRows
    std::vector<std::size_t> updateableRows, downloadableRows, batchUpdateRows;  // positions in displayRows
    bool shouldShowUpdateAllButton = false;
    std::optional<std::string> activeRowScrollTarget;
    std::size_t heldBackCount = 0;     // pending updates younger than the minimum release age
    std::size_t hiddenCount = 0;       // taken out by an ignore, skip, snooze or deferral

    const AllUpdateRow& row(std::size_t position) const { return sourceRows[displayRows[position]]; }
    const AllUpdateRow* find(std::string_view id) const;
    const AllUpdateRowActionState* actionState(std::string_view id) const;
    std::size_t size() const noexcept { return displayRows.size(); }
};

// What the pipeline needs besides the rows; the functions are the caller's.
struct AllUpdatesPipelineInput {
    std::function<bool(const AllUpdateRow&)> isVisible;  // the source's visibility setting
    std::string searchText;
    std::string sourceFilter;                            // a source label; empty for all
    std::function<RowHiding(const AllUpdateRow&)> hiding;
    std::function<AllUpdateRowActionState(const AllUpdateRow&)> rowActionState;
    std::function<std::optional<std::string>(const AllUpdateRow&)> bundleDeduplicationKey;
    std::function<int(const AllUpdateRow&)> preferenceScore;
    std::function<bool(const std::string&)> prefersHomebrewNativeToolFormula;
    const AllUpdatesRuntimeState* runtime = nullptr;
};

// Filters, de-duplicates and orders the rows, then computes each shown row's action once.
class AllUpdatesRowPipeline {
public:
    static AllUpdatesDisplayModel run(std::vector<AllUpdateRow> rows, const AllUpdatesPipelineInput& input);
};

// The preference of a source when rows of one bundle meet (higher wins): the vendor's own
// channels first, as they keep the application's settings and signature; Homebrew's copy
// of the metadata lags behind them.
int defaultPreferenceScore(const AllUpdateRow& row);
// The bundle of an application, or of the application a cask installed.
std::optional<std::string> defaultBundleDeduplicationKey(const AllUpdateRow& row);
// "flutter" for the Homebrew formula or the own installer's row of a tool offered both ways.
std::optional<std::string> nativeToolName(const AllUpdateRow& row);
// Lower case, Latin accents dropped: the order and search of names as a reader expects.
std::string foldForComparison(std::string_view text);
// Whether the row matches a search text (name, source, id), case and accents ignored.
bool matchesSearch(const AllUpdateRow& row, std::string_view foldedSearch);

}  // namespace vt
