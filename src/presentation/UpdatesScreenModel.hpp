#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/UpdateKind.hpp"

namespace vt {

// The groups of the interactive table, in the order they are shown by kind: the updates a
// user weighs most first, then the items updated outside the package managers.
enum class ScreenGroup { Security, Major, Minor, Patch, Other, Applications };

// One row of the interactive table: an item of the display model with what the screen
// shows of it, every text already one printable line.
struct ScreenRow {
    std::string id;  // the row id of the display model (what the verbs accept)
    std::string shortId;  // what the user types and the other commands show ("apt:libc6")
    std::string name;
    std::string source;
    std::string installed;
    std::string latest;          // empty when unknown
    ScreenGroup group = ScreenGroup::Other;
    bool zeroMajor = false;      // a major update below 1.0 (0.3 → 0.4): never tagged in bulk
    std::optional<long long> ageDays;  // of the release, where its date is known
    bool security = false;
    std::size_t fixes = 0;            // known vulnerabilities the update removes: listed first
    bool offeredVulnerable = false;   // the offered version has known vulnerabilities itself
    bool pinned = false;
    bool updateable = false;     // updated from the program, through the update plan
    std::string status;          // in the view of ignored items: why it is out ("snoozed until…")
    // What the detail pane says: where it updates from, the command, the notes' address, why.
    std::vector<std::string> details;
    std::string folded;          // name, source and id folded for the filter
};

// What the interactive table shows: the pending updates and, for its second view, the items
// taken out of the table. Each list keeps a precomputed order for each grouping, so that a
// key press costs a pass over the rows, never a sort.
struct UpdatesScreenModel {
    std::vector<ScreenRow> rows;
    std::vector<ScreenRow> ignored;
    std::size_t heldBack = 0;  // too recent for the minimum release age: counted, not shown

    // Positions in `rows` / `ignored`: by group then name, by source then name, by name.
    struct Orders {
        std::vector<std::size_t> byKind, bySource, byName;
    };
    Orders rowOrders, ignoredOrders;
    // The widest texts of each column over every row, so that columns keep their width
    // while the user scrolls or filters.
    std::size_t nameWidth = 0, sourceWidth = 0, versionsWidth = 0;

    // Sorts, folds and measures; call once the lists are filled.
    void finish();
};

// The group of a pending update by our version rules; rows that are not packages form the
// applications group whatever their versions.
ScreenGroup screenGroupOf(UpdateKind kind, bool isPackage);
// Whether the update is a major one of a version below 1.0.
bool isZeroMajorUpdate(const std::string& installed, const std::string& latest);

}  // namespace vt
