#pragma once

#include <functional>
#include <optional>

#include <memory>
#include <string>
#include <vector>

#include <set>

#include "base/Json.hpp"
#include "cli/Output.hpp"
#include "cli/SourceSelection.hpp"
#include "cli/TextTable.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "presentation/AllUpdatesDisplayModelCache.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "presentation/IgnoreFilter.hpp"
#include "presentation/ItemReasons.hpp"

namespace vt::cli {

// What the user asked the table to show.
struct TableRequest {
    bool all = false;     // the items that are up to date too
    std::string search;   // --search TEXT
    std::string source;   // --source NAME: the label of the SOURCE column, or the source's id
    SourceSelection selection;  // --only, --exclude
};

// The display model of the command line's table, made from a snapshot of the inventory
// with this user's visibility settings and every ignore mechanism.
struct UpdatesTable {
    std::shared_ptr<const AllUpdatesDisplayModel> model;
    std::shared_ptr<const IgnoreFilter> filter;  // what held its rows back
    TableRequest request;                        // what narrowed its rows
    std::size_t pendingCount() const;
    // Whether --source NAME names a source: an id of `managers` or --only, a source's label,
    // or the label of a row (case ignored). A source with no rows today is still a source.
    bool namesASource(std::string_view name) const;
};

// The ignores, skips, snoozes, deferrals and release age of this user, as of now.
IgnoreFilter::State currentIgnoreState();
// An id as the shell reads it back: single-quoted when it holds a space or a character the
// shell would act on.
std::string quotedWhenNeeded(const std::string& text);
UpdatesTable buildUpdatesTable(const AllUpdatesSnapshot& snapshot, const TableRequest& request);
// Every row of the inventory, up to date or not, before any filter: what the verbs resolve
// their arguments against.
std::vector<AllUpdateRow> everyRow(const AllUpdatesSnapshot& snapshot);
// The snapshot of the last scan's results (the coordinator's packages, the applications).
AllUpdatesSnapshot savedSnapshot();
// The same with these packages in place of the saved ones.
AllUpdatesSnapshot snapshotWith(std::vector<Package> packages);
// A revision no table built in this process had: what a count must not take from the cache.
std::uint64_t freshRevision();

// "vantreel update ID", the command to run by hand, or "download".
std::string actionText(const AllUpdateRow& row, const AllUpdateRowActionState& state);

struct TableLayout {
    std::size_t width = TextTable::kUnlimited;
    // A line shown under a pending row (what the release offers).
    std::function<std::optional<std::string>(const AllUpdateRow&)> detail;
    // The scanners whose latest versions are unknown: their rows show "?" as latest.
    std::set<std::string> latestVersionsUnknown;
};
std::string renderUpdatesTable(const UpdatesTable& table, const Style& style, const TableLayout& layout);
// The lines under the table: the held back and hidden counts; empty when there are none.
std::string renderHiddenCounts(const UpdatesTable& table, long long minimumReleaseAgeDays, const Style& style);
// The rows with their reasons, as `states` (the last scan's) and the settings give them.
void writeRowsJson(JsonWriter& writer, const UpdatesTable& table, const std::vector<SourceScanState>& states);
// What the last scan says of the source of a row: whether it failed, whether it is shown.
ReasonFacts reasonFactsFor(const AllUpdateRow& row, const std::vector<SourceScanState>& states);

// The rows an argument names: the row whose id (short, or of the earlier form) it is, else
// every row of that name (case ignored), else the applications whose bundle identifier it is.
std::vector<const AllUpdateRow*> resolveRows(const std::string& argument, const std::vector<AllUpdateRow>& rows);
// Says on standard error, for `vantreel VERB`, that no row or several rows have that name.
void reportUnresolved(const std::string& verb, const std::string& argument,
                      const std::vector<const AllUpdateRow*>& matches);
// The matches point into `rows`, which must outlive them: a temporary is refused.
std::vector<const AllUpdateRow*> resolveRows(const std::string& argument, std::vector<AllUpdateRow>&& rows) = delete;

// What `ignored` and the full-screen view call an ignored item: the short id of its row, else
// that of the key it is stored under, else the key itself.
std::string shownId(const IgnoredItem& item, const std::vector<AllUpdateRow>& rows);

}  // namespace vt::cli
