#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

// A random (version 4) UUID; its text is the usual 8-4-4-4-12 form in upper case.
class Uuid {
public:
    Uuid() = default;  // all zero
    static Uuid random();
    static std::optional<Uuid> parse(std::string_view text);  // either case

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }
    bool isNil() const noexcept;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace vt

template <>
struct std::hash<vt::Uuid> {
    std::size_t operator()(const vt::Uuid& uuid) const noexcept;
};
