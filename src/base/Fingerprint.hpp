#pragma once

#include <string>
#include <vector>

namespace vt {

// What a file's or folder's metadata says about whether it changed: its path, size,
// modification time (to the nanosecond) and inode, for each path in order; a missing path
// is recorded as missing. Equal texts mean nothing listed was replaced, written or
// touched since; reading the metadata costs one stat per path, never the contents.
std::string fingerprintOf(const std::vector<std::string>& paths);

}  // namespace vt
