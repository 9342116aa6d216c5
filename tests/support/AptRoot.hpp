#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace vt::testing {

// A private apt installation in a temporary folder: a dpkg status file, a local archive
// with a normal and a "-security" suite, a pin, a held package, and package lists that the
// real `apt-get update` fetched from the archive (file: URIs, no network). Every apt tool
// and our own reader use it when APT_CONFIG names configFile(); the machine's apt is never
// touched. Its pending upgrades, as apt sees them:
//   plain   1.0-1                -> 1.1-1
//   secfix  2.0-1                -> 2.0-1+deb12u1          (security)
//   debrev  1.65.2               -> 1.65.2+deb12u1
//   epoch   1:2.66-4+deb12u2+b2  -> 1:2.66-4+deb12u3+b1
//   tilde   1.0~rc1              -> 1.0
// and `held` (held at 1.0-1, 1.1-1 available), `pinned` (pinned to 1.0, 2.0-1 available)
// and `current` (up to date) are not upgrades.
class AptRoot {
public:
    AptRoot();
    // What `apt-get update` said when it failed; nothing when the lists are in place.
    const std::optional<std::string>& setupFailure() const noexcept { return setupFailure_; }
    std::string configFile() const { return dir_.file("apt.conf"); }
    const std::string& path() const noexcept { return dir_.path(); }

    // An upgrade apt reports, from its own commands run on this root.
    struct Upgrade {
        std::string installed, candidate;
        bool security = false;
        friend bool operator==(const Upgrade&, const Upgrade&) = default;
    };
    // `apt list --upgradable` (which names held packages too) and `apt-get -s dist-upgrade`
    // (which keeps them back), each read with a plain pattern of its own. `root` null reads
    // the machine's own apt; `wrapper` starts the tool (unshare and its arguments).
    static std::map<std::string, Upgrade> aptList(const AptRoot* root);
    static std::map<std::string, Upgrade> simulatedUpgrade(const AptRoot* root,
                                                           const std::vector<std::string>& wrapper = {});

private:
    TempDir dir_{"vt-apt-root"};
    std::optional<std::string> setupFailure_;
};

}  // namespace vt::testing
