#pragma once

#include <stdexcept>

namespace vt {

// Thrown by any long operation whose std::stop_token was stopped, before or during the
// work: the caller asked for it, so it is not a failure to report.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("Cancelled") {}
};

}  // namespace vt
