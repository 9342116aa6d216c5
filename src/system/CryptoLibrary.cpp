#include "system/CryptoLibrary.hpp"

#include "system/SharedLibrary.hpp"

namespace vt {

namespace {

const LoadedFunctions<CryptoLibrary>& loaded() {
    static const LoadedFunctions<CryptoLibrary> result =
        loadFunctions<CryptoLibrary>("libcrypto", 3, [](const SharedLibrary& library, CryptoLibrary& api) {
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
        });
    return result;
}

}  // namespace

const CryptoLibrary* CryptoLibrary::shared() { return loaded().api ? &*loaded().api : nullptr; }

std::string CryptoLibrary::failure() { return loaded().failure; }

}  // namespace vt
