#pragma once

#include <chrono>
#include <thread>

namespace vt::testing {

// Whether `done` comes true within `limit`; a test that waits for something fails instead of hanging.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vt::testing
