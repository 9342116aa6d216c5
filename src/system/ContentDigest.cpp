#include "system/ContentDigest.hpp"

#include <array>
#include <fstream>
#include <memory>

#include "system/CryptoLibrary.hpp"

namespace vt {

namespace {

std::string hexOf(const unsigned char* bytes, unsigned int length, const char* prefix) {
    static const char* digits = "0123456789abcdef";
    std::string text = prefix;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Which of the library's digests: its sha256 or its sha1.
using Algorithm = decltype(CryptoLibrary::sha256) CryptoLibrary::*;

// Nothing when libcrypto cannot be loaded: a digest that cannot be computed matches none.
template <typename Feed>
std::optional<std::string> digestOf(Feed&& feed, Algorithm algorithm, const char* prefix) {
    const CryptoLibrary* crypto = CryptoLibrary::shared();
    if (crypto == nullptr) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(crypto->contextFree)> context(crypto->contextNew(), crypto->contextFree);
    if (!context || crypto->digestInit(context.get(), (crypto->*algorithm)(), nullptr) != 1) return std::nullopt;
    if (!feed(*crypto, context.get())) return std::nullopt;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (crypto->digestFinal(context.get(), digest.data(), &length) != 1) return std::nullopt;
    return hexOf(digest.data(), length, prefix);
}

}  // namespace

std::string sha256Digest(std::string_view bytes) {
    return digestOf([&](const CryptoLibrary& crypto, EVP_MD_CTX* context) {
               return crypto.digestUpdate(context, bytes.data(), bytes.size()) == 1;
           }, &CryptoLibrary::sha256, "sha256:").value_or("");
}

namespace {

std::optional<std::string> fileDigest(const std::string& path, Algorithm algorithm, const char* prefix) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    return digestOf([&](const CryptoLibrary& crypto, EVP_MD_CTX* context) {
        std::array<char, 65536> buffer{};
        while (stream) {
            stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const std::streamsize count = stream.gcount();
            if (count > 0 && crypto.digestUpdate(context, buffer.data(), static_cast<std::size_t>(count)) != 1) return false;
        }
        return stream.eof();
    }, algorithm, prefix);
}

}  // namespace

std::optional<std::string> sha256DigestOfFile(const std::string& path) { return fileDigest(path, &CryptoLibrary::sha256, "sha256:"); }

std::optional<std::string> sha1HexOfFile(const std::string& path) { return fileDigest(path, &CryptoLibrary::sha1, ""); }

std::optional<std::string> sha256HexOfFile(const std::string& path) { return fileDigest(path, &CryptoLibrary::sha256, ""); }

}  // namespace vt
