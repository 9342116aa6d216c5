#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "model/ReleaseAge.hpp"

namespace vt {

// The latest versions a registry gave, looked up a few names at a time and kept in a file
// for a while, so that scans close together (and other runs of the program) ask once.
// Thread-safe; no lock is held while a lookup runs.
class LatestVersionCache {
public:
    struct Options {
        std::string file;                // "" keeps the versions in memory only
        std::chrono::seconds ttl{1800};  // 0: every call asks again
        std::size_t concurrency = 8;
        Clock* clock = nullptr;          // Clock::shared() when null
        std::string logName;             // "YarnManager", in log lines
    };
    // nullopt: the registry gave no usable version for the name. May throw CancellationError.
    using Lookup = std::function<std::optional<std::string>(const std::string& name, std::stop_token stop)>;
    // A registry's answer with the releases it dated, for the release-age guard.
    struct Answer {
        std::string version;
        std::vector<PublishedRelease> releases;
        // The versions carrying registry attestations; nothing when the registry does not say.
        std::optional<std::vector<std::string>> attested;
        // What revalidates the answer once it is past the time limit (the registry's ETag).
        std::optional<std::string> etag;
        // Set by a revalidating lookup: the registry says the kept answer still holds.
        bool unchanged = false;
    };
    using DatedLookup = std::function<std::optional<Answer>(const std::string& name, std::stop_token stop)>;
    // A lookup given the answer kept past its time limit (null when there is none), so that it
    // can ask the registry whether it changed instead of fetching it whole.
    using RevalidatingLookup =
        std::function<std::optional<Answer>(const std::string& name, const Answer* kept, std::stop_token stop)>;

    explicit LatestVersionCache(Options options);

    // What a registry adapter keeps: `fileName` in the cache folder unless `file` is given,
    // for half an hour (a release rarely lands within one session), six look-ups at a time
    // (enough to hide the latency, few enough to stay polite to a public registry).
    static Options forRegistry(const std::optional<std::string>& file, std::string_view fileName, Clock* clock,
                               std::string logName);

    // The latest version of each name the registry answered for: from the cache while
    // younger than the time limit, else from `lookup`. When a lookup gives nothing, the last
    // version known (however old) stands in for it: it is only compared with what is
    // installed. `scope` names the registry; versions another one gave are dropped.
    // Throws CancellationError when stopped.
    std::map<std::string, std::string> latest(const std::vector<std::string>& names, const Lookup& lookup,
                                              std::stop_token stop, const std::string& scope = {});
    // The same, keeping the releases each answer dated (saved with it).
    std::map<std::string, Answer> latestDated(const std::vector<std::string>& names, const DatedLookup& lookup,
                                              std::stop_token stop, const std::string& scope = {});
    // The same, revalidating answers past the time limit: an answer marked unchanged keeps the
    // kept one for another period.
    std::map<std::string, Answer> latestRevalidated(const std::vector<std::string>& names,
                                                    const RevalidatingLookup& lookup, std::stop_token stop,
                                                    const std::string& scope = {});

    // Runs `work` for each index below `count`, `concurrency` at a time; stops early and
    // throws CancellationError when the token is stopped or a piece of work was cancelled.
    static void forEachConcurrently(std::size_t count, std::size_t concurrency,
                                    const std::function<void(std::size_t)>& work, std::stop_token stop);

private:
    struct Entry {
        Answer answer;
        Clock::TimePoint checkedAt;
    };
    Clock& clock() const;
    void loadLocked();
    void save();

    Options options_;
    std::mutex mutex_;
    bool loaded_ = false;
    std::string scope_;
    std::map<std::string, Entry> entries_;
};

}  // namespace vt
