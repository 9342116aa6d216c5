#pragma once

#include <stdexcept>
#include <string>

namespace vt {

// The shape of every adapter's own failure: a kind the caller can act on, and the whole text
// shown to the user. Each adapter names its kinds and builds its texts in its factories.
template <typename KindType>
class AdapterError : public std::runtime_error {
public:
    using Kind = KindType;

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

protected:
    AdapterError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}

private:
    Kind kind_;
};

}  // namespace vt
