#pragma once

#include <functional>
#include <mutex>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Files.hpp"
#include "base/Json.hpp"

namespace vt {

// A defaults store: one JSON object in a file, keyed by name. The user's preferences live in
// one in the config folder; the program's own notes between runs in another, in the state
// folder. Reads come from the copy loaded at creation (or the last write) and leave the disk
// as it was: no folder, lock or file is made for them, so a dry run or a refused command
// changes nothing. Every write re-reads the file under an advisory lock, applies its change
// and replaces the file atomically, so two of our processes writing different keys lose neither.
// A file that does not parse reads as an empty store (defaults, never a crash); the first
// write sets it aside as "<name>.corrupt-<time>" before replacing it, and refuses when it
// cannot. A file that exists but cannot be read (its mode, a FIFO in its place) gives
// defaults too, and every write then refuses: it is never replaced.
// Thread-safe.
class DefaultsStore {
public:
    // A store of what the program notes for itself may be written Durability::Unflushed.
    explicit DefaultsStore(std::string path, Durability durability = Durability::Flushed);
    // The store of this user: paths::settingsFile().
    static std::string defaultPath();

    const std::string& path() const noexcept { return path_; }
    // The file was there but did not parse at the last read: defaults stand in for it.
    bool unparsable() const noexcept { return unparsable_.load(); }
    // Why the file, there, could not be read at the last read (no permission, a loop of
    // links): defaults stand in for it and no write is made. Empty when it was read.
    std::string readFailure() const;

    std::optional<Json> object(std::string_view key) const;
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<long long> integerValue(std::string_view key) const;
    std::optional<double> doubleValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    bool contains(std::string_view key) const;
    Json snapshot() const;

    // Each write is one locked read-modify-write of the file. Throws FileWriteError when
    // the file cannot be read or written; memory then keeps the new value for this process
    // only when the read succeeded.
    void set(std::string_view key, Json value);
    void remove(std::string_view key);
    // Several changes in one write.
    void update(const std::function<void(Json& object)>& change);
    // Picks up what other processes wrote.
    void reload();
    // A change seen at once by this process's reads, and written with the next write (or
    // never, when no write comes): for what the program decides on its own (first-launch
    // choices, keys of earlier versions dropped), so that merely reading changes no file.
    // Applied to the file's contents as they are then, before that write's own change.
    void deferUntilNextWrite(std::function<void(Json& object)> change);

private:
    Json readFromDisk(bool setAsideCorrupt);
    void writeLocked(const std::function<void(Json& object)>& change);

    std::string path_;
    Durability durability_;
    mutable std::mutex mutex_;
    Json values_ = Json::object();
    std::vector<std::function<void(Json& object)>> deferred_;
    std::atomic<bool> unparsable_{false};
    std::string readFailure_;  // guarded by mutex_
};

}  // namespace vt
