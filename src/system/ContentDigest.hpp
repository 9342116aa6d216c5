#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vt {

// "sha256:" and the lower-case hex SHA-256 of the bytes, as registries name their content.
std::string sha256Digest(std::string_view bytes);
// The same for a file's bytes, read in pieces; nullopt when it cannot be read.
std::optional<std::string> sha256DigestOfFile(const std::string& path);
// The lower-case hex SHA-1 and SHA-256 of a file, without a prefix (as zsync control files
// and release digests give them); nullopt when it cannot be read.
std::optional<std::string> sha1HexOfFile(const std::string& path);
std::optional<std::string> sha256HexOfFile(const std::string& path);

}  // namespace vt
