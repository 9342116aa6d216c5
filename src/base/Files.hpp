#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vt {

class FileWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes through a temporary file in the same folder, flushed to disk, then renamed
// over the target: readers see the old contents or the new, never a torn file.
// Throws FileWriteError; the old file is untouched on failure.
void writeFileAtomically(const std::string& path, std::string_view contents, unsigned permissions = 0644);

// Removes the temporary files that writers killed mid-write left in a folder (those whose
// process is gone).
void removeStaleTemporaries(const std::string& folder);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

}  // namespace vt
