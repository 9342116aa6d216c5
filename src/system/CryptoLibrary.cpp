#include "system/CryptoLibrary.hpp"

#include <dlfcn.h>

#include <optional>

#include "base/Log.hpp"

namespace vt {

namespace {

#ifdef __APPLE__
constexpr const char* kLibraryName = "libcrypto.3.dylib";
#else
constexpr const char* kLibraryName = "libcrypto.so.3";
#endif

struct Loaded {
    std::optional<CryptoLibrary> api;
    std::string failure;
};

template <typename Function>
bool bind(void* library, const char* symbol, Function& function, std::string& failure) {
    ::dlerror();
    void* address = ::dlsym(library, symbol);
    if (address == nullptr) {
        const char* reason = ::dlerror();
        failure = std::string("libcrypto lacks ") + symbol + ": " + (reason != nullptr ? reason : "unknown reason");
        return false;
    }
    function = reinterpret_cast<Function>(address);
    return true;
}

Loaded load() {
    Loaded loaded;
    // Never closed: contexts may outlive any owner until the process ends.
    void* library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        loaded.failure = std::string("libcrypto could not be loaded: ") + (reason != nullptr ? reason : kLibraryName);
    } else {
        CryptoLibrary api;
        if (bind(library, "EVP_MD_CTX_new", api.contextNew, loaded.failure) &&
            bind(library, "EVP_MD_CTX_free", api.contextFree, loaded.failure) &&
            bind(library, "EVP_DigestInit_ex", api.digestInit, loaded.failure) &&
            bind(library, "EVP_DigestUpdate", api.digestUpdate, loaded.failure) &&
            bind(library, "EVP_DigestFinal_ex", api.digestFinal, loaded.failure) &&
            bind(library, "EVP_sha256", api.sha256, loaded.failure) &&
            bind(library, "EVP_sha1", api.sha1, loaded.failure) &&
            bind(library, "EVP_PKEY_new_raw_public_key", api.keyFromRawPublic, loaded.failure) &&
            bind(library, "EVP_PKEY_free", api.keyFree, loaded.failure) &&
            bind(library, "EVP_DigestVerifyInit", api.verifyInit, loaded.failure) &&
            bind(library, "EVP_DigestVerify", api.verify, loaded.failure)) {
            loaded.api = api;
        }
    }
    if (!loaded.api) Logger("CryptoLibrary").error(loaded.failure);
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
