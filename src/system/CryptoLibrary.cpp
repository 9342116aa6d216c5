#include "system/CryptoLibrary.hpp"

#include <optional>

#include "base/Log.hpp"
#include "system/SharedLibrary.hpp"

namespace vt {

namespace {

struct Loaded {
    std::optional<CryptoLibrary> api;
    std::string failure;
};

Loaded load() {
    Loaded loaded;
    try {
        const SharedLibrary library("libcrypto", 3);
        CryptoLibrary api;
        library.bind("EVP_MD_CTX_new", api.contextNew);
        library.bind("EVP_MD_CTX_free", api.contextFree);
        library.bind("EVP_DigestInit_ex", api.digestInit);
        library.bind("EVP_DigestUpdate", api.digestUpdate);
        library.bind("EVP_DigestFinal_ex", api.digestFinal);
        library.bind("EVP_sha256", api.sha256);
        library.bind("EVP_sha1", api.sha1);
        library.bind("EVP_PKEY_new_raw_public_key", api.keyFromRawPublic);
        library.bind("EVP_PKEY_free", api.keyFree);
        library.bind("EVP_DigestVerifyInit", api.verifyInit);
        library.bind("EVP_DigestVerify", api.verify);
        loaded.api = api;
    } catch (const SharedLibrary::Unavailable& error) {
        loaded.failure = error.what();
        Logger("CryptoLibrary").error(loaded.failure);
    }
    return loaded;
}

const Loaded& loaded() {
    static const Loaded result = load();
    return result;
}

}  // namespace

const CryptoLibrary* CryptoLibrary::shared() { return loaded().api ? &*loaded().api : nullptr; }

std::string CryptoLibrary::failure() { return loaded().failure; }

}  // namespace vt
