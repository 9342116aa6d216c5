#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace vt {

// apt's own package cache, read in-process with Debian's library: the same configuration
// (APT_CONFIG and the apt.conf parts included), pins, candidates and archives `apt` itself
// uses, with nothing simulated and no child process. The library keeps its configuration in
// process-wide state, so reads are serialised; each read takes the configuration afresh.
// The library is loaded only when the cache is read, from a module built beside the program;
// built without the library, or without its module, isAvailable() is false and read() says so.
class AptCache {
public:
    struct Upgrade {
        std::string name;       // with ":arch" for a foreign architecture, as apt prints it
        std::string installed;
        std::string candidate;
        std::vector<std::string> archives;  // "Debian-Security:12/oldstable-security"
        bool isSecurity = false;            // the candidate comes from a "-security" archive
        // Where the candidate is offered, as origin, codename and suite ("Debian:bookworm/stable"),
        // sorted, the installed-only "now" left out; and its architecture ("amd64", "all").
        std::vector<std::string> origins;
        std::string architecture;

        friend bool operator==(const Upgrade&, const Upgrade&) = default;
    };
    struct Reading {
        // Installed packages whose candidate is newer, by Debian's order; held ones left out.
        std::vector<Upgrade> upgrades;
        std::vector<Upgrade> held;  // held packages (apt-mark hold) that have a newer candidate
        std::optional<std::string> failure;  // the library's own error lines, when it could not read
        bool unavailable = false;  // the library itself could not be loaded
    };

    // Whether this build reads the cache itself: its module is there (it is opened only by read).
    static bool isAvailable() noexcept;
    // Never throws for apt's errors (they come back as `failure`); a stop request between
    // packages throws CancellationError. With `cacheFolder`, the binary cache apt builds from
    // its lists is kept there (apt checks it against the lists before use), so a read after
    // the first maps it instead of parsing every list again: apt's own copy needs root to
    // write, and is switched off on some systems. Where apt keeps one that is newer (after
    // `apt update`), that one is read in place instead, never written.
    static Reading read(std::stop_token stop, const std::string& cacheFolder = {});
};

}  // namespace vt
