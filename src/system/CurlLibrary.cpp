#include "system/CurlLibrary.hpp"

#include <dlfcn.h>

#include <optional>
#include <string>

#include "system/NetworkClient.hpp"

namespace vt {

namespace {

#ifdef __APPLE__
constexpr const char* kLibraryName = "libcurl.4.dylib";
#else
constexpr const char* kLibraryName = "libcurl.so.4";
#endif

std::string lastLoaderError() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown reason";
}

template <typename Function>
void bind(void* library, const char* symbol, Function& function) {
    ::dlerror();
    void* address = ::dlsym(library, symbol);
    if (address == nullptr) {
        throw NetworkError::connectionFailed().withCause(std::string("libcurl lacks ") + symbol + ": " +
                                                         lastLoaderError());
    }
    function = reinterpret_cast<Function>(address);
}

CurlLibrary load() {
    // Never closed: handles and callbacks may outlive any owner until the process ends.
    void* library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        throw NetworkError::connectionFailed().withCause("libcurl could not be loaded: " + lastLoaderError());
    }
    CurlLibrary api;
    bind(library, "curl_global_init", api.globalInit);
    bind(library, "curl_easy_init", api.easyInit);
    bind(library, "curl_easy_cleanup", api.easyCleanup);
    bind(library, "curl_easy_reset", api.easyReset);
    bind(library, "curl_easy_setopt", api.easySetopt);
    bind(library, "curl_easy_perform", api.easyPerform);
    bind(library, "curl_easy_getinfo", api.easyGetinfo);
    bind(library, "curl_easy_strerror", api.easyStrerror);
    bind(library, "curl_share_init", api.shareInit);
    bind(library, "curl_share_setopt", api.shareSetopt);
    bind(library, "curl_share_cleanup", api.shareCleanup);
    bind(library, "curl_slist_append", api.slistAppend);
    bind(library, "curl_slist_free_all", api.slistFreeAll);
    bind(library, "curl_url", api.url);
    bind(library, "curl_url_set", api.urlSet);
    bind(library, "curl_url_get", api.urlGet);
    bind(library, "curl_url_cleanup", api.urlCleanup);
    bind(library, "curl_free", api.free);
    if (api.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        throw NetworkError::connectionFailed().withCause("libcurl could not be initialised");
    }
    return api;
}

}  // namespace

const CurlLibrary& CurlLibrary::shared() {
    // A function-local static retries after a throw, so a failed load is reported each time.
    static const CurlLibrary api = load();
    return api;
}

}  // namespace vt
