#pragma once

namespace vt {

// What the program was built for, so that portable files branch on a constant instead of
// carrying their own preprocessor tests.
#if defined(__APPLE__)
inline constexpr bool kBuiltForMac = true;
#else
inline constexpr bool kBuiltForMac = false;
#endif
inline constexpr bool kBuiltForLinux = !kBuiltForMac;

}  // namespace vt
