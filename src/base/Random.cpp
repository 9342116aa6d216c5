#include "base/Random.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <unistd.h>

namespace vt {

void randomBytes(void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    for (std::size_t done = 0; done < size;) {
        const std::size_t chunk = std::min<std::size_t>(size - done, 256);  // getentropy's most
        if (::getentropy(bytes + done, chunk) != 0) {
            std::random_device device;
            for (; done < size; ++done) bytes[done] = static_cast<unsigned char>(device());
            return;
        }
        done += chunk;
    }
}

std::mt19937_64& randomGenerator() {
    static thread_local std::mt19937_64 generator{[] {
        std::array<std::uint32_t, 4> words{};
        randomBytes(words.data(), sizeof words);
        std::seed_seq seed(words.begin(), words.end());
        return std::mt19937_64(seed);
    }()};
    return generator;
}

}  // namespace vt
