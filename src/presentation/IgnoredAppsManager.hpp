#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class DefaultsStore;

// The bundle identifiers of the applications the user (or the chronic-failure rule) took out
// of the update lists, kept in the defaults store as data: the JSON array of the
// identifiers, base64-encoded, under kUserDefaultsKey. Every change is saved at once, in one
// atomic write of the store. Rows of other kinds ignored from the command line are kept in
// the same set under their row id. Not thread-safe: the thread that shows the lists owns it.
class IgnoredAppsManager {
public:
    static constexpr std::string_view kUserDefaultsKey = "Vantreel.IgnoredApps";
    static constexpr std::string_view kLegacyMacAppStoreCleanupKey =
        "Vantreel.IgnoredApps.CleanedLegacyMacAppStoreAutoIgnores.v1";

    // Loads the stored set; missing or undecodable data leaves it empty.
    explicit IgnoredAppsManager(DefaultsStore& store);

    const std::set<std::string>& ignoredBundleIds() const noexcept { return ignored_; }
    bool isIgnored(const std::string& bundleId) const { return ignored_.count(bundleId) > 0; }
    // Goes up with every change; part of the table's signal.
    std::uint64_t revision() const noexcept { return revision_; }

    // An empty identifier changes nothing. Each returns whether the set changed.
    bool ignore(const std::string& bundleId);
    bool unignore(const std::string& bundleId);
    // Adds or removes several at once, with one save when at least one changed.
    std::size_t ignoreSeveral(const std::vector<std::string>& bundleIds);
    std::size_t unignoreSeveral(const std::vector<std::string>& bundleIds);

    // Once per installation: the Mac App Store applications of these folders (a receipt at
    // "Contents/_MASReceipt/receipt") leave the set; an ignore made after it stays.
    void runLegacyCleanup(const std::vector<std::string>& applicationFolders);

    void load();
    void save();

private:
    DefaultsStore& store_;
    std::set<std::string> ignored_;
    std::uint64_t revision_ = 0;
};

}  // namespace vt
