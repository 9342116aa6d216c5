#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vt {

enum class KnownAppFlag { AutoUpdates, RequiresUserChoice, Problematic };

struct KnownAppIssue {
    std::string bundleID;
    std::optional<std::string> name;
    std::set<KnownAppFlag> flags;
    std::optional<std::string> reasonKey;

    bool has(KnownAppFlag flag) const { return flags.contains(flag); }
};

// Applications that update themselves, need the user to choose, or are known to cause
// trouble: "KnownIssues.json" among the program's resources, read on first use under the
// lock. Unknown flags in an entry are ignored; an entry without "bundle_id" is skipped.
class KnownIssuesRegistry {
public:
    KnownIssuesRegistry() = default;
    // A registry read from the given text instead of the shipped file (nothing: none).
    explicit KnownIssuesRegistry(std::optional<std::string> text);
    static KnownIssuesRegistry& shared();

    std::optional<KnownAppIssue> issue(const std::string& bundleIdentifier);
    std::size_t size();

private:
    void loadIfNeeded();  // with mutex_ held

    std::mutex mutex_;
    bool loaded_ = false;
    bool fromText_ = false;
    std::optional<std::string> text_;
    std::map<std::string, KnownAppIssue, std::less<>> issues_;
};

}  // namespace vt
