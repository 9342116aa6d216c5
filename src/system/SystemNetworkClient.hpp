#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "system/NetworkClient.hpp"

namespace vt {

// The network client on libcurl. One instance is the "session" of the process: its DNS
// answers and TLS sessions are shared by every thread, and finished transfers hand their
// handle (with its open connections) back to a pool, so hundreds of lookups against one host
// reuse a few connections instead of opening one each.
//
// Proxies come from the environment as libcurl reads it (https_proxy / HTTPS_PROXY,
// all_proxy / ALL_PROXY, no_proxy / NO_PROXY; plain-http proxying only from the lower-case
// http_proxy, which a web server's CGI environment cannot inject). The trust store is
// CURL_CA_BUNDLE, else SSL_CERT_FILE, plus the folder SSL_CERT_DIR, when set, as the package
// managers read them; libcurl alone would ignore them.
//
// A stopped token is seen as data arrives, and about once a second while the server is silent.
class SystemNetworkClient final : public NetworkClient {
public:
    struct Options {
        // Idle handles kept for reuse; more than the widest fan-out gains nothing.
        std::size_t maxIdleHandles = 32;
        // Trust store; from the environment when absent.
        std::optional<std::string> caFile;
        std::optional<std::string> caFolder;
    };

    SystemNetworkClient();
    explicit SystemNetworkClient(Options options);
    // No request may be in flight.
    ~SystemNetworkClient() override;
    SystemNetworkClient(const SystemNetworkClient&) = delete;
    SystemNetworkClient& operator=(const SystemNetworkClient&) = delete;

    HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) override;
    HttpResponse download(const HttpRequest& request, const std::string& destinationPath,
                          const DownloadProgressHandler& onProgress = {}, std::stop_token stop = {}) override;

    // Handles created so far (for tests of reuse).
    std::size_t handlesCreated() const;

    // The most any download to a file may write, whatever its request allows: the user's
    // setting, given once when the program starts (8 GiB until then).
    static void setDownloadLimit(std::uint64_t bytes) noexcept;
    static std::uint64_t downloadLimit() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vt
