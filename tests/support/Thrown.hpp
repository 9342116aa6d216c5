#pragma once

#include <optional>

#include <gtest/gtest.h>

namespace vt::testing {

// The error of type Error that body throws; a failure of the test, and nothing, when it throws
// none. `thrown<E>(...).value()` stops the test there.
template <typename Error, typename Body>
std::optional<Error> thrown(Body&& body) {
    try {
        body();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "nothing thrown";
    return std::nullopt;
}

}  // namespace vt::testing
