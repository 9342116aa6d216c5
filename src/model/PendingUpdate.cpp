#include "model/PendingUpdate.hpp"

#include <algorithm>

#include "model/VersionRules.hpp"

namespace vt {

namespace {

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool isAsciiLetter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

VersionOrder fromSign(int sign) noexcept {
    return sign < 0 ? VersionOrder::Ascending : sign > 0 ? VersionOrder::Descending : VersionOrder::Same;
}

// dpkg's weight of one character of a non-digit run; the end of the text weighs 0.
int debianWeight(char c) {
    if (isDigit(c)) return 0;
    if (isAsciiLetter(c)) return static_cast<unsigned char>(c);
    if (c == '~') return -1;
    if (c != 0) return static_cast<unsigned char>(c) + 256;
    return 0;
}

// dpkg's comparison of an upstream version or a revision: runs of non-digits by weight,
// then runs of digits by value, in turn.
int compareDebianPart(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    auto at = [](std::string_view text, std::size_t index) { return index < text.size() ? text[index] : '\0'; };
    while (i < a.size() || j < b.size()) {
        while ((i < a.size() && !isDigit(a[i])) || (j < b.size() && !isDigit(b[j]))) {
            const int left = debianWeight(at(a, i)), right = debianWeight(at(b, j));
            if (left != right) return left < right ? -1 : 1;
            ++i;
            ++j;
        }
        while (i < a.size() && a[i] == '0') ++i;
        while (j < b.size() && b[j] == '0') ++j;
        int firstDifference = 0;
        while (i < a.size() && j < b.size() && isDigit(a[i]) && isDigit(b[j])) {
            if (firstDifference == 0) firstDifference = a[i] - b[j];
            ++i;
            ++j;
        }
        if (i < a.size() && isDigit(a[i])) return 1;
        if (j < b.size() && isDigit(b[j])) return -1;
        if (firstDifference != 0) return firstDifference < 0 ? -1 : 1;
    }
    return 0;
}

struct DebianVersion {
    std::string_view epoch, upstream, revision;
};

DebianVersion splitDebianVersion(std::string_view text) {
    DebianVersion version;
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), isDigit)) {
        version.epoch = text.substr(0, colon);
        text.remove_prefix(colon + 1);
    }
    const std::size_t hyphen = text.rfind('-');
    version.upstream = text.substr(0, hyphen);
    if (hyphen != std::string_view::npos) version.revision = text.substr(hyphen + 1);
    return version;
}

}  // namespace

VersionOrder compareDebianVersions(std::string_view a, std::string_view b) {
    const DebianVersion left = splitDebianVersion(a), right = splitDebianVersion(b);
    // Epochs are numbers; compared as digit runs they need no conversion (and cannot overflow).
    int order = compareDebianPart(left.epoch.empty() ? "0" : left.epoch, right.epoch.empty() ? "0" : right.epoch);
    if (order == 0) order = compareDebianPart(left.upstream, right.upstream);
    if (order == 0) order = compareDebianPart(left.revision, right.revision);
    return fromSign(order);
}

bool hasPendingUpdate(const Package& package, bool allowPreRelease) {
    // Sources that follow a git clone name a latest version only when its remote has commits the
    // clone lacks (the GitHub CLI's extensions also a newer release): commits have no order to
    // check again.
    const bool followsGit = package.type == PackageType::GhExtension || package.type == PackageType::AiMarketplace ||
                            package.type == PackageType::AiSkill;
    if (followsGit && package.latestVersion && !package.latestVersion->empty() &&
        *package.latestVersion != kUpdateAvailableSentinel) {
        return *package.latestVersion != package.version;
    }
    if (package.type != PackageType::AptPackage || !package.latestVersion ||
        *package.latestVersion == kUpdateAvailableSentinel) {
        return isUpdateAvailable(package.version, package.latestVersion, allowPreRelease);
    }
    // apt installs its candidate whatever it is called ("~rc1" included): only the order counts.
    return compareDebianVersions(package.version, *package.latestVersion) == VersionOrder::Ascending;
}

}  // namespace vt
