#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

namespace vt {

// The installed items an adapter read last, kept for its outdated check: a scan lists first
// and reads the tool once; a check run on its own reads it then.
template <class Record>
class InstalledRecords {
public:
    using Reader = std::function<std::vector<Record>(std::stop_token)>;

    explicit InstalledRecords(Reader reader) : reader_(std::move(reader)) {}

    // Reads the tool now and keeps what it said; the runner's errors pass through.
    std::vector<Record> read(std::stop_token stop) {
        std::vector<Record> records = reader_(stop);
        std::scoped_lock lock(mutex_);
        records_ = records;
        return records;
    }

    // What was read last, or a read now when nothing was.
    std::vector<Record> lastOrRead(std::stop_token stop) {
        {
            std::scoped_lock lock(mutex_);
            if (records_) return *records_;
        }
        return read(stop);
    }

private:
    Reader reader_;
    std::mutex mutex_;
    std::optional<std::vector<Record>> records_;
};

}  // namespace vt
