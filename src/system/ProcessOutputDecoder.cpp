#include "system/ProcessOutputDecoder.hpp"

#include "base/Strings.hpp"

namespace vt {

namespace {

std::size_t expectedLength(unsigned char lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;  // ASCII, or a byte that can never start a character
}

// How many bytes at the end start a character whose remaining bytes have not come yet.
std::size_t incompleteTailLength(std::string_view bytes) noexcept {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;
        return expectedLength(byte) > back ? back : 0;
    }
    return 0;
}

}  // namespace

std::string ProcessOutputDecoder::decode(std::string_view bytes) {
    std::string joined;
    if (!pending_.empty()) {
        joined = std::move(pending_) + std::string(bytes);
        pending_.clear();
        bytes = joined;
    }
    std::size_t tail = incompleteTailLength(bytes);
    std::string text = sanitizeUtf8(bytes.substr(0, bytes.size() - tail));
    pending_.assign(bytes.substr(bytes.size() - tail));
    return text;
}

std::string ProcessOutputDecoder::finish() {
    std::string text = sanitizeUtf8(pending_);
    pending_.clear();
    return text;
}

}  // namespace vt
