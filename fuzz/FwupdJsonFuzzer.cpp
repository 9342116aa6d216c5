// fwupdmgr's JSON (get-devices, get-updates) from arbitrary bytes: devices or
// std::invalid_argument, never a crash.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "managers/system/FirmwareManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)vt::FirmwareManager::parseDevices(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
