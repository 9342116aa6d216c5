#include "settings/DefaultsStore.hpp"

#include <chrono>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("DefaultsStore");
    return log;
}

// Holds an exclusive flock on "<path>.lock" for one read-modify-write; released with the
// descriptor, so a crashed writer never leaves the store locked.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// A name no earlier copy holds: two set aside within one second must not overwrite each other.
std::string corruptCopyName(const std::string& path) {
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const std::string base = path + ".corrupt-" + std::to_string(stamp);
    std::string name = base;
    std::error_code error;
    for (int suffix = 1; std::filesystem::symlink_status(name, error).type() != std::filesystem::file_type::not_found;
         ++suffix) {
        name = base + "-" + std::to_string(suffix);
    }
    return name;
}

}  // namespace

DefaultsStore::DefaultsStore(std::string path, Durability durability)
    : path_(std::move(path)), durability_(durability) {
    reload();
}

std::string DefaultsStore::defaultPath() { return paths::settingsFile(); }

Json DefaultsStore::readFromDisk(bool setAsideCorrupt) {
    FileRead read = readFileChecked(path_);
    if (read.failure == FileRead::Failure::Missing) return Json::object();
    // A file we cannot read is not an empty one: writing over it would lose every value in it.
    if (!read.contents) throw FileWriteError("cannot read the preferences at " + path_ + " (" + read.reason + ")");
    const std::optional<std::string>& contents = read.contents;
    if (contents->empty()) return Json::object();
    auto parsed = parseJson(*contents);
    unparsable_ = !(parsed && parsed->is_object());
    if (!unparsable_) return std::move(*parsed);
    if (!setAsideCorrupt) {
        logger().error(localized("log.settings.unparsable", {path_}));
        return Json::object();
    }
    // Kept before the write replaces it; a copy that cannot be kept stops the write.
    const std::string backup = corruptCopyName(path_);
    std::error_code error;
    std::filesystem::rename(path_, backup, error);
    if (error) {
        throw FileWriteError("cannot keep the unreadable preferences at " + path_ + " as " + backup + ": " +
                             error.message());
    }
    logger().error(localized("log.settings.unreadable", {path_, backup}));
    return Json::object();
}

void DefaultsStore::reload() {
    Json fresh = Json::object();
    std::string failure;
    try {
        fresh = readFromDisk(false);
    } catch (const FileWriteError& error) {
        // Defaults for this run; every write refuses until the file can be read again.
        failure = error.what();
        logger().error(localized("log.settings.using_defaults", {failure}));
    }
    std::scoped_lock guard(mutex_);
    readFailure_ = std::move(failure);
    for (const auto& change : deferred_) change(fresh);
    values_ = std::move(fresh);
}

std::string DefaultsStore::readFailure() const {
    std::scoped_lock guard(mutex_);
    return readFailure_;
}

void DefaultsStore::deferUntilNextWrite(std::function<void(Json& object)> change) {
    std::scoped_lock guard(mutex_);
    change(values_);
    deferred_.push_back(std::move(change));
}

void DefaultsStore::writeLocked(const std::function<void(Json& object)>& change) {
    paths::ensureFolder(std::filesystem::path(path_).parent_path().string());
    FileLock lock(path_);
    Json current = readFromDisk(true);
    std::vector<std::function<void(Json& object)>> deferred;
    {
        std::scoped_lock guard(mutex_);
        deferred = deferred_;
    }
    for (const auto& earlier : deferred) earlier(current);
    change(current);
    {
        std::scoped_lock guard(mutex_);
        change(values_);
    }
    writeFileAtomically(path_, dumpJson(current, 2) + "\n", 0644, durability_);
    std::scoped_lock guard(mutex_);
    deferred_.erase(deferred_.begin(), deferred_.begin() + static_cast<std::ptrdiff_t>(deferred.size()));
}

std::optional<Json> DefaultsStore::object(std::string_view key) const {
    std::scoped_lock guard(mutex_);
    auto it = values_.find(std::string(key));
    if (it == values_.end()) return std::nullopt;
    return *it;
}

std::optional<bool> DefaultsStore::boolValue(std::string_view key) const {
    auto value = object(key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::optional<long long> DefaultsStore::integerValue(std::string_view key) const {
    auto value = object(key);
    if (!value || !value->is_number_integer()) return std::nullopt;
    return value->get<long long>();
}

std::optional<double> DefaultsStore::doubleValue(std::string_view key) const {
    auto value = object(key);
    if (!value || !value->is_number()) return std::nullopt;
    return value->get<double>();
}

std::optional<std::string> DefaultsStore::stringValue(std::string_view key) const {
    auto value = object(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

bool DefaultsStore::contains(std::string_view key) const { return object(key).has_value(); }

Json DefaultsStore::snapshot() const {
    std::scoped_lock guard(mutex_);
    return values_;
}

void DefaultsStore::set(std::string_view key, Json value) {
    std::string name(key);
    writeLocked([&](Json& object) { object[name] = value; });
}

void DefaultsStore::remove(std::string_view key) {
    std::string name(key);
    writeLocked([&](Json& object) { object.erase(name); });
}

void DefaultsStore::update(const std::function<void(Json& object)>& change) { writeLocked(change); }

}  // namespace vt
