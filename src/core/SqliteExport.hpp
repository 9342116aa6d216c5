#pragma once

#include <string>

#include "base/Json.hpp"
#include "core/UpdatesExport.hpp"

namespace vt {

// The layout of the exported database; a reader checks the one row of "schema_version" and
// a change of any table or column raises it.
inline constexpr int kSqliteExportSchemaVersion = 1;

// Writes the export as a SQLite database at `path`: made in memory, then written through a
// temporary file in the same folder and renamed over it, so a reader (osquery, at any moment)
// sees the previous database or the new one, never half of one. Tables: "schema_version",
// "scan", "sources", "items" (every package), "applications", "updates" (the table's
// pending rows, in its order), "excluded_updates". Throws ExportError.
void writeSqliteExport(const UpdatesExport& data, const std::string& path);

// The osquery configuration fragment that turns the database at `databasePath` into the
// tables "vantreel_updates" and "vantreel_sources": {"auto_table_construction": {...}}, each
// with its query, path, columns and platform.
Json osqueryConfiguration(const std::string& databasePath);

}  // namespace vt
