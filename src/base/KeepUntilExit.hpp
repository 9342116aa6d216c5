#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vt {

// Keeps `value` until the process ends, never destroying it: a command about to end gives its
// memory back with the process at once, where freeing thousands of records one by one first
// costs it a millisecond. Still reachable, so a leak checker sees no leak. From the main
// thread, at the end of a command.
template <typename T>
void keepUntilExit(T&& value) {
    static auto* const kept = new std::vector<std::shared_ptr<void>>();
    kept->push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(value)));
}

}  // namespace vt
