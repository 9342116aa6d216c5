#include "settings/LoginItemService.hpp"

#include <stdexcept>

#include "base/Log.hpp"

namespace vt {

namespace {

// The login-item service of the system is absent here: the setting reads off and a change
// is refused with a clear word instead of failing somewhere later.
class UnavailablePlatformSettings final : public PlatformSettingsService {
public:
    bool isAvailable() const override { return false; }
    bool isMenuBarAgentAtLogin() const override { return false; }
    void setMenuBarAgentAtLogin(bool) override {
        Logger("SettingsManager")
            .warning(std::string("Vantreel: failed to update menu bar login item: ") + kNotAvailableOnThisSystem);
        throw std::runtime_error(kNotAvailableOnThisSystem);
    }
};

}  // namespace

PlatformSettingsService& PlatformSettingsService::shared() {
    static UnavailablePlatformSettings service;
    return service;
}

}  // namespace vt
