#include "base/Uuid.hpp"

#include <random>

namespace vt {

Uuid Uuid::random() {
    static thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    Uuid uuid;
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t value = generator();
        for (std::size_t k = 0; k < 8; ++k) uuid.bytes_[i + k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);
    return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid uuid;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        uuid.bytes_[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
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
