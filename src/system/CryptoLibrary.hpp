#pragma once

#include <string>

#include <openssl/evp.h>

namespace vt {

// OpenSSL's libcrypto, loaded the first time a digest or a signature needs it. Linked into
// the program, its tables were relocated and its processor probed at every start, a large
// share of a command such as `list` that never checks a download.
struct CryptoLibrary {
    decltype(&EVP_MD_CTX_new) contextNew = nullptr;
    decltype(&EVP_MD_CTX_free) contextFree = nullptr;
    decltype(&EVP_DigestInit_ex) digestInit = nullptr;
    decltype(&EVP_DigestUpdate) digestUpdate = nullptr;
    decltype(&EVP_DigestFinal_ex) digestFinal = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_sha1) sha1 = nullptr;
    decltype(&EVP_PKEY_new_raw_public_key) keyFromRawPublic = nullptr;
    decltype(&EVP_PKEY_free) keyFree = nullptr;
    decltype(&EVP_DigestVerifyInit) verifyInit = nullptr;
    decltype(&EVP_DigestVerify) verify = nullptr;

    // The library, loaded once; nullptr when it is missing or lacks a function, and then
    // `failure()` says why.
    static const CryptoLibrary* shared();
    static std::string failure();
};

}  // namespace vt
