#include "system/CurlLibrary.hpp"

#include "system/NetworkClient.hpp"
#include "system/SharedLibrary.hpp"

namespace vt {

namespace {

CurlLibrary bound(const SharedLibrary& library) {
    CurlLibrary api;
    library.bind("curl_global_init", api.globalInit);
    library.bind("curl_easy_init", api.easyInit);
    library.bind("curl_easy_cleanup", api.easyCleanup);
    library.bind("curl_easy_reset", api.easyReset);
    library.bind("curl_easy_setopt", api.easySetopt);
    library.bind("curl_easy_perform", api.easyPerform);
    library.bind("curl_easy_getinfo", api.easyGetinfo);
    library.bind("curl_easy_strerror", api.easyStrerror);
    library.bind("curl_share_init", api.shareInit);
    library.bind("curl_share_setopt", api.shareSetopt);
    library.bind("curl_share_cleanup", api.shareCleanup);
    library.bind("curl_slist_append", api.slistAppend);
    library.bind("curl_slist_free_all", api.slistFreeAll);
    library.bind("curl_url", api.url);
    library.bind("curl_url_set", api.urlSet);
    library.bind("curl_url_get", api.urlGet);
    library.bind("curl_url_cleanup", api.urlCleanup);
    library.bind("curl_free", api.free);
    return api;
}

CurlLibrary load() {
    CurlLibrary api;
    try {
        api = bound(SharedLibrary("libcurl", 4));
    } catch (const SharedLibrary::Unavailable& error) {
        throw NetworkError::connectionFailed().withCause(error.what());
    }
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
