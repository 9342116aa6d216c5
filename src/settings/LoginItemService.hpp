#pragma once

#include <string>

namespace vt {

// Settings that the system keeps outside the preferences file: opening the menu-bar agent
// at login and showing system extensions. Where the system has no such service (Linux),
// isAvailable() is false and the settings read as off.
class PlatformSettingsService {
public:
    virtual ~PlatformSettingsService() = default;
    virtual bool isAvailable() const = 0;
    virtual bool isMenuBarAgentAtLogin() const = 0;
    // Throws std::runtime_error("not available on this system") where unavailable.
    virtual void setMenuBarAgentAtLogin(bool enabled) = 0;

    static PlatformSettingsService& shared();
};

inline constexpr const char* kNotAvailableOnThisSystem = "not available on this system";

}  // namespace vt
