#include "base/Uuid.hpp"

#include <array>
#include <cstdint>

#include "base/Random.hpp"

namespace vt {

Uuid Uuid::random() {
    std::mt19937_64& generator = randomGenerator();
    Uuid uuid;
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t value = generator();
        for (std::size_t k = 0; k < 8; ++k) uuid.bytes_[i + k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);
    return uuid;
}

namespace {

// A digit's value, or -1: a table, as digits and letters come in no predictable order and
// every saved record's id is read at each start.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int c = 0; c < 10; ++c) values['0' + c] = static_cast<std::int8_t>(c);
    for (int c = 0; c < 6; ++c) {
        values['a' + c] = static_cast<std::int8_t>(10 + c);
        values['A' + c] = static_cast<std::int8_t>(10 + c);
    }
    return values;
}();

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        return std::nullopt;
    }
    static constexpr std::array<std::uint8_t, 16> kOffsets = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    Uuid uuid;
    int invalid = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = kHexValues[static_cast<unsigned char>(text[kOffsets[i]])];
        const int low = kHexValues[static_cast<unsigned char>(text[kOffsets[i] + 1])];
        invalid |= high | low;  // -1 has every bit set
        uuid.bytes_[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (invalid < 0) return std::nullopt;
    return uuid;
}

std::string Uuid::toString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[bytes_[i] >> 4];
        text += kDigits[bytes_[i] & 0x0F];
    }
    return text;
}

bool Uuid::isNil() const noexcept {
    for (auto b : bytes_) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace vt

std::size_t std::hash<vt::Uuid>::operator()(const vt::Uuid& uuid) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (auto b : uuid.bytes()) h = (h ^ b) * 1099511628211ull;
    return h;
}
