#pragma once

namespace vt {

// The value of a hexadecimal digit (either case), or -1.
int hexDigitValue(char c) noexcept;

}  // namespace vt
