#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class FileWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether a write waits for the disk before the file is replaced. What the user chose or
// gave (settings, rules, secrets) does. What the program makes again or notes for itself
// (scan results, when it last scanned, its activity) need not: each flush is a wait for the
// disk, and such a file lost to a power cut, or found empty after one, costs a scan to redo
// or the last lines of a history. Either way a running reader sees the old contents or the
// new.
enum class Durability { Flushed, Unflushed };

// Writes through a temporary file in the same folder, flushed to disk unless told otherwise,
// then renamed over the target: readers see the old contents or the new, never a torn file.
// A file that already holds these bytes is left as it is. Throws FileWriteError; the old
// file is untouched on failure.
void writeFileAtomically(const std::string& path, std::string_view contents, unsigned permissions = 0644,
                         Durability durability = Durability::Flushed);

struct FileToWrite {
    std::string path;
    std::string_view contents;
};
// Writes a set of files the program makes again by itself (Durability::Unflushed), each
// as writeFileAtomically does, and renames them in the order given: a reader that sees the
// last one's new contents sees the others' too. Returns, per file, why it could not be
// written; the others are written.
std::vector<std::optional<std::string>> writeFilesAtomically(const std::vector<FileToWrite>& files,
                                                              unsigned permissions = 0644);

// Removes the temporary files that writers killed mid-write left in a folder (those whose
// process is gone).
void removeStaleTemporaries(const std::string& folder);

// Above this a file is not read into memory unless the caller allows more.
inline constexpr std::size_t kMaxReadFileBytes = 256u * 1024u * 1024u;

// A file read whole, or why it was not: only regular files are opened (a FIFO would hang
// the reader, a link to /dev/zero would fill memory), and none larger than the limit.
struct FileRead {
    enum class Failure { None, Missing, NotRegular, TooLarge, Unreadable };
    std::optional<std::string> contents;
    Failure failure = Failure::None;
    std::string reason;  // for a message: strerror's text or the refusal
    int errorNumber = 0;  // errno, when the system refused
};
FileRead readFileChecked(const std::string& path, std::size_t maxBytes = kMaxReadFileBytes);

// The whole file, or nothing when it is missing, cannot be read, is not a regular file or
// is larger than `maxBytes`.
std::optional<std::string> readFile(const std::string& path, std::size_t maxBytes = kMaxReadFileBytes);

}  // namespace vt
