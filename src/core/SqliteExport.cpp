#include "core/SqliteExport.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include <sqlite3.h>

#include "base/Files.hpp"
#include "base/Platform.hpp"

namespace vt {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE scan (last_scan_timestamp REAL NOT NULL, program_version TEXT NOT NULL);
CREATE TABLE sources (
  id TEXT NOT NULL, name TEXT NOT NULL, up INTEGER NOT NULL, latest_known INTEGER NOT NULL,
  duration_seconds REAL, failure TEXT, items_from_timestamp REAL, pending_updates INTEGER NOT NULL);
CREATE TABLE items (
  id TEXT NOT NULL, name TEXT NOT NULL, source TEXT NOT NULL, type TEXT NOT NULL,
  installed_version TEXT NOT NULL, latest_version TEXT, update_available INTEGER NOT NULL,
  is_security INTEGER NOT NULL, is_pinned INTEGER NOT NULL);
CREATE TABLE applications (
  id TEXT NOT NULL, name TEXT NOT NULL, bundle_identifier TEXT NOT NULL, path TEXT NOT NULL,
  installed_version TEXT NOT NULL, latest_version TEXT, update_available INTEGER NOT NULL,
  update_source TEXT NOT NULL);
CREATE TABLE updates (
  position INTEGER NOT NULL, id TEXT NOT NULL, name TEXT NOT NULL, source TEXT NOT NULL,
  source_name TEXT NOT NULL, item_kind TEXT NOT NULL, installed_version TEXT NOT NULL,
  latest_version TEXT, update_kind TEXT NOT NULL, is_security INTEGER NOT NULL);
CREATE TABLE excluded_updates (
  id TEXT NOT NULL, name TEXT NOT NULL, source TEXT NOT NULL, source_name TEXT NOT NULL,
  item_kind TEXT NOT NULL, installed_version TEXT NOT NULL, latest_version TEXT,
  update_kind TEXT NOT NULL, is_security INTEGER NOT NULL, reason TEXT NOT NULL);
)sql";

// The osquery tables: each one query over the database and its columns in the same order
// (osquery gives every column as text).
struct OsqueryTable {
    const char* name;
    const char* query;
    std::vector<const char*> columns;
};

const OsqueryTable kOsqueryTables[] = {
    {"vantreel_updates",
     "SELECT id, name, source, source_name, item_kind, installed_version, latest_version, update_kind, is_security "
     "FROM updates ORDER BY position",
     {"id", "name", "source", "source_name", "item_kind", "installed_version", "latest_version", "update_kind",
      "is_security"}},
    {"vantreel_sources",
     "SELECT id, name, up, latest_known, duration_seconds, failure, pending_updates FROM sources ORDER BY id",
     {"id", "name", "up", "latest_known", "duration_seconds", "failure", "pending_updates"}},
};

using Value = std::variant<std::nullptr_t, long long, double, std::string_view>;

Value text(const std::optional<std::string>& value) {
    return value ? Value(std::string_view(*value)) : Value(nullptr);
}

Value seconds(std::optional<Clock::TimePoint> date) {
    if (!date) return nullptr;
    return std::chrono::duration<double>(date->time_since_epoch()).count();
}

class Database {
public:
    Database() {
        sqlite3* handle = nullptr;
        const int status = sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        db_.reset(handle);
        if (status != SQLITE_OK) fail("cannot open a database in memory");
    }

    void execute(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) == SQLITE_OK) return;
        std::string text = message != nullptr ? message : sqlite3_errmsg(db_.get());
        sqlite3_free(message);
        throw ExportError(ExportError::Kind::DatabaseFailed, "SQLite: " + text);
    }

    // Inserts rows into `table` with one statement prepared once.
    class Insert {
    public:
        Insert(Database& database, const std::string& table, std::size_t columns) : database_(database) {
            std::string sql = "INSERT INTO " + table + " VALUES (";
            for (std::size_t i = 0; i < columns; ++i) sql += i == 0 ? "?" : ", ?";
            sql += ")";
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(database.db_.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
                database.fail("cannot prepare " + sql);
            }
            statement_.reset(statement);
        }

        void row(const std::vector<Value>& values) {
            sqlite3_stmt* statement = statement_.get();
            sqlite3_reset(statement);
            for (std::size_t i = 0; i < values.size(); ++i) bind(statement, static_cast<int>(i + 1), values[i]);
            if (sqlite3_step(statement) != SQLITE_DONE) database_.fail("cannot insert a row");
        }

    private:
        static void bind(sqlite3_stmt* statement, int index, const Value& value) {
            if (const auto* number = std::get_if<long long>(&value)) {
                sqlite3_bind_int64(statement, index, *number);
            } else if (const auto* real = std::get_if<double>(&value)) {
                sqlite3_bind_double(statement, index, *real);
            } else if (const auto* text = std::get_if<std::string_view>(&value)) {
                sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            } else {
                sqlite3_bind_null(statement, index);
            }
        }

        Database& database_;
        std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement_{nullptr, &sqlite3_finalize};
    };

    // The whole database as the bytes of its file.
    std::string bytes() {
        sqlite3_int64 size = 0;
        unsigned char* data = sqlite3_serialize(db_.get(), "main", &size, 0);
        if (data == nullptr) fail("cannot serialise the database");
        std::string out(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
        sqlite3_free(data);
        return out;
    }

private:
    [[noreturn]] void fail(const std::string& what) {
        throw ExportError(ExportError::Kind::DatabaseFailed, "SQLite: " + what + ": " + sqlite3_errmsg(db_.get()));
    }

    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db_{nullptr, &sqlite3_close};
};

std::vector<Value> updateValues(const ExportedUpdate& update) {
    return {update.id,
            update.name,
            update.source,
            update.sourceName,
            update.itemKind,
            update.installedVersion,
            text(update.latestVersion),
            rawValue(update.kind),
            static_cast<long long>(update.isSecurity)};
}

void insertSources(Database& database, const UpdatesExport& data) {
    Database::Insert insert(database, "sources", 8);
    for (const ExportedSource& source : data.sources) {
        long long pending = 0;
        for (UpdateKind kind : kAllUpdateKinds) pending += static_cast<long long>(data.pendingCount(source.id, kind));
        insert.row({source.id, source.name, static_cast<long long>(source.listed),
                    static_cast<long long>(source.latestKnown),
                    source.durationSeconds ? Value(*source.durationSeconds) : Value(nullptr), text(source.failure),
                    seconds(source.itemsFrom), pending});
    }
}

void insertItems(Database& database, const UpdatesExport& data) {
    Database::Insert items(database, "items", 9);
    for (const ExportedItem& item : data.items) {
        items.row({item.id, item.name, item.source, item.type, item.installedVersion, text(item.latestVersion),
                   static_cast<long long>(item.updateAvailable), static_cast<long long>(item.isSecurity),
                   static_cast<long long>(item.isPinned)});
    }
    Database::Insert applications(database, "applications", 8);
    for (const ExportedApplication& application : data.applications) {
        applications.row({application.id, application.name, application.bundleIdentifier, application.path,
                          application.installedVersion, text(application.latestVersion),
                          static_cast<long long>(application.updateAvailable), application.updateSource});
    }
}

void insertUpdates(Database& database, const UpdatesExport& data) {
    Database::Insert updates(database, "updates", 10);
    long long position = 0;
    for (const ExportedUpdate& update : data.updates) {
        std::vector<Value> values{position++};
        for (Value& value : updateValues(update)) values.push_back(value);
        updates.row(values);
    }
    Database::Insert excluded(database, "excluded_updates", 10);
    for (const ExportedExclusion& exclusion : data.exclusions) {
        std::vector<Value> values = updateValues(exclusion.update);
        values.emplace_back(rawValue(exclusion.reason));
        excluded.row(values);
    }
}

}  // namespace

void writeSqliteExport(const UpdatesExport& data, const std::string& path) {
    Database database;
    database.execute(kSchema);
    database.execute("BEGIN");
    Database::Insert(database, "schema_version", 1).row({static_cast<long long>(kSqliteExportSchemaVersion)});
    Database::Insert(database, "scan", 2).row({seconds(data.lastScanDate), std::string_view(data.programVersion)});
    insertSources(database, data);
    insertItems(database, data);
    insertUpdates(database, data);
    database.execute("COMMIT");
    try {
        writeFileAtomically(path, database.bytes());
    } catch (const FileWriteError& error) {
        throw ExportError(ExportError::Kind::WriteFailed, error.what());
    }
}

Json osqueryConfiguration(const std::string& databasePath) {
    Json tables = Json::object();
    for (const OsqueryTable& table : kOsqueryTables) {
        Json entry = Json::object();
        entry["query"] = table.query;
        entry["path"] = databasePath;
        entry["columns"] = table.columns;
        entry["platform"] = kBuiltForMac ? "darwin" : "linux";
        tables[table.name] = std::move(entry);
    }
    Json configuration = Json::object();
    configuration["auto_table_construction"] = std::move(tables);
    return configuration;
}

}  // namespace vt
