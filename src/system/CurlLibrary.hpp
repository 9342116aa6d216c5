#pragma once

#include <curl/curl.h>

namespace vt {

// libcurl, loaded the first time a transfer needs it. Linked directly it drags some thirty
// shared libraries (TLS, Kerberos, LDAP, compression...) into every start of the program,
// which is about half the time of a command that never goes online, such as `list`.
struct CurlLibrary {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_reset) easyReset = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    decltype(&curl_share_init) shareInit = nullptr;
    decltype(&curl_share_setopt) shareSetopt = nullptr;
    decltype(&curl_share_cleanup) shareCleanup = nullptr;
    decltype(&curl_slist_append) slistAppend = nullptr;
    decltype(&curl_slist_free_all) slistFreeAll = nullptr;
    decltype(&curl_url) url = nullptr;
    decltype(&curl_url_set) urlSet = nullptr;
    decltype(&curl_url_get) urlGet = nullptr;
    decltype(&curl_url_cleanup) urlCleanup = nullptr;
    decltype(&curl_free) free = nullptr;

    // Loads and initialises the library once. Throws NetworkError (connection failed, with
    // the loader's reason as its cause) when it is missing or lacks a function.
    static const CurlLibrary& shared();
};

}  // namespace vt
