#include "system/ContentDigest.hpp"

#include <array>
#include <fstream>
#include <memory>

#include <openssl/evp.h>

namespace vt {

namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string hexOf(const unsigned char* bytes, unsigned int length, const char* prefix) {
    static const char* digits = "0123456789abcdef";
    std::string text = prefix;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

template <typename Feed>
std::optional<std::string> digestOf(Feed&& feed, const EVP_MD* algorithm = EVP_sha256(), const char* prefix = "sha256:") {
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1) return std::nullopt;
    if (!feed(context.get())) return std::nullopt;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
    return hexOf(digest.data(), length, prefix);
}

}  // namespace

std::string sha256Digest(std::string_view bytes) {
    return digestOf([&](EVP_MD_CTX* context) {
               return EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1;
           }).value_or("");
}

namespace {

std::optional<std::string> fileDigest(const std::string& path, const EVP_MD* algorithm, const char* prefix) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    return digestOf([&](EVP_MD_CTX* context) {
        std::array<char, 65536> buffer{};
        while (stream) {
            stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const std::streamsize count = stream.gcount();
            if (count > 0 && EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(count)) != 1) return false;
        }
        return stream.eof();
    }, algorithm, prefix);
}

}  // namespace

std::optional<std::string> sha256DigestOfFile(const std::string& path) { return fileDigest(path, EVP_sha256(), "sha256:"); }

std::optional<std::string> sha1HexOfFile(const std::string& path) { return fileDigest(path, EVP_sha1(), ""); }

std::optional<std::string> sha256HexOfFile(const std::string& path) { return fileDigest(path, EVP_sha256(), ""); }

}  // namespace vt
