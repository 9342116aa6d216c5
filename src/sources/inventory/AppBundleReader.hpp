#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Application.hpp"

namespace vt {

// What a bundle's Info.plist says that the inventory uses. A value of the wrong type
// leaves its field empty and adds a line to `problems`.
struct InfoPlistFields {
    std::string bundleIdentifier;
    std::string displayName;  // CFBundleDisplayName, else CFBundleName; empty when neither
    std::string shortVersion;
    std::optional<std::string> buildNumber;
    std::optional<std::string> sparkleFeedURL;  // SPUFeedURL, else SUFeedURL
    std::optional<std::string> sparklePublicKey;  // SUPublicEDKey, else SUPublicDSAKey
    bool hasSparklePlistKey = false;  // a feed, a public key or its file, or DevMateKit
    std::optional<std::string> minimumSystemVersion;
    std::optional<std::string> executable;
    bool hasMozillaUpdaterHint = false;
    std::vector<std::string> problems;
};

// Parses Info.plist bytes (XML or binary); nothing when they are not a property list whose
// root is a dictionary. Never throws.
std::optional<InfoPlistFields> readInfoPlist(std::string_view bytes);

// Larger Info.plist files are not read: real ones are a few kilobytes.
inline constexpr std::size_t kMaximumInfoPlistBytes = 4 * 1024 * 1024;

// One bundle as the inventory lists it.
struct BundleCandidate {
    std::string path;
    std::string bundleIdentifier;
    std::string name;
    std::string version;
    std::optional<std::string> buildNumber;
    UpdateMechanism updateMechanism = UpdateMechanism::Unknown;
    std::optional<std::string> sparkleAppcastURL;
    std::optional<std::string> appStoreID;
    std::optional<std::string> executable;  // CFBundleExecutable
    bool hasMASReceipt = false;
    bool isAppleSystemApp = false;
};

// Reads `Contents/Info.plist` of a bundle. Nothing, silently, when there is none; nothing
// with a log line when it cannot be read (permission, too large, not a property list).
std::optional<BundleCandidate> readBundle(const std::string& bundlePath);
// The same from the Info.plist already parsed.
BundleCandidate candidateFrom(const std::string& bundlePath, const InfoPlistFields& fields);

// What the update-source resolver reads of one bundle.
struct AppBundleInventoryEntry {
    std::string id;
    std::string bundleIdentifier;
    std::string bundlePath;
    std::string name;
    std::string installedVersion;
    std::string currentBuildNumber;
    std::string infoPlistPath;
    bool hasMASReceipt = false;
    bool hasSparkleFramework = false;
    bool hasSparklePlistKey = false;
    std::optional<std::string> sparkleFeedURL;
    std::optional<std::string> sparklePublicKey;
    std::optional<std::string> minimumSystemVersion;
    bool hasSquirrelFramework = false;
    bool hasMozillaUpdaterHint = false;
    std::optional<GenericUpdateMechanism> genericUpdateMechanismHint;
    std::optional<std::string> genericUpdateURLHint;
    std::optional<std::string> genericReleasePageURLHint;
    bool genericUpdateAllowsRemoteVersionCheck = false;
    std::optional<AppRulePrimarySource> resolvedRulePrimarySource;
    bool isAppleSystemApp = false;
};
using AppBundleInventory = std::vector<AppBundleInventoryEntry>;

// Nothing when the bundle has no readable Info.plist.
std::optional<AppBundleInventoryEntry> buildInventoryEntry(const std::string& bundlePath);

// A repository on GitHub: owner and name.
struct GitHubRepository {
    std::string owner;
    std::string repo;
    std::string id() const { return owner + "/" + repo; }
    friend bool operator==(const GitHubRepository&, const GitHubRepository&) = default;
};

// The first GitHub repository a text names: an address on the GitHub web host in effect
// ("host/owner/repo...") or a latest-release address on the REST API host
// ("host/repos/owner/repo/releases/latest"), the earlier of the two; a trailing ".git" is not
// part of the name.
std::optional<GitHubRepository> gitHubRepositoryIn(std::string_view text);

// The release page of a GitHub repository named in a text (its issues page, for example),
// on the GitHub web host in effect; nothing when it names none.
std::optional<std::string> gitHubReleasePage(std::string_view text);

}  // namespace vt
