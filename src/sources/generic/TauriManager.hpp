#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/Clock.hpp"

namespace vt {

class NetworkClient;

// What a Tauri updater manifest says for this Mac.
struct TauriManifestResult {
    std::string version;
    std::optional<std::string> downloadURL;
    std::optional<std::string> notes;
    std::optional<Clock::TimePoint> publishDate;
};

// Reads a Tauri "latest.json": the version ("v" prefix dropped), the notes, `pub_date`, and
// the download of the platform entry for this architecture ("darwin-aarch64",
// "darwin-x86_64", else "darwin-universal"), or the top-level `url` of a manifest without
// platforms. Throws ManifestError when it is not such a manifest or has no entry for a Mac.
TauriManifestResult parseTauriManifest(std::string_view json, std::string_view architecture);

// Fetches Tauri updater endpoints.
class TauriManager {
public:
    explicit TauriManager(NetworkClient& network, std::string architecture);

    // The latest release the endpoint announces, its placeholders filled in from the
    // installed version; nothing when the endpoint answers "no update" (204) or fails
    // ("Tauri manifest fetch failed: …" logged).
    std::optional<TauriManifestResult> check(const std::string& endpoint, const std::string& installedVersion,
                                             std::stop_token stop = {});

private:
    NetworkClient& network_;
    std::string architecture_;
};

}  // namespace vt
