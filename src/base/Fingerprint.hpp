#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vt {

// What a file's or folder's metadata says about whether it changed: its path, size,
// modification time (to the nanosecond) and inode, for each path in order; a missing path
// is recorded as missing. Equal texts mean nothing listed was replaced, written or
// touched since; reading the metadata costs one stat per path, never the contents.
std::string fingerprintOf(const std::vector<std::string>& paths);

// A short stand-in for a long fingerprint, to keep and compare (64-bit FNV-1a, in hex): a
// folder of thousands of entries need not be saved with every scan.
std::string fingerprintDigest(std::string_view fingerprint);

}  // namespace vt
