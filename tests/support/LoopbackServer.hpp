#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/NetworkClient.hpp"

namespace vt::testing {

// What a route answers. The defaults answer 200 with an empty JSON object at once.
struct LoopbackRoute {
    int status = 200;
    std::string body = "{}";
    // The library compresses bodies of some types (exactly "application/json", "text/...")
    // for a client that accepts it, which costs the server more than the whole exchange
    // otherwise; with its charset, the default type is sent as it is.
    std::string contentType = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;

    std::chrono::milliseconds latency{0};      // before the answer starts
    std::optional<std::string> redirectTo;     // a 302 to this address (a path or a full URL)
    std::optional<std::string> etag;           // sent; a request whose If-None-Match equals it gets a 304

    // Body delivery: in pieces of chunkSize bytes with chunkDelay before each (0: all at once),
    // with chunked transfer coding instead of a Content-Length, or cut off after
    // closeAfterBytes bytes although the full length was announced.
    std::size_t chunkSize = 0;
    std::chrono::milliseconds chunkDelay{0};
    bool chunked = false;
    std::optional<std::size_t> closeAfterBytes;
};

struct LoopbackRequest {
    std::string method;
    std::string path;
    std::string target;  // path and query as sent
    HttpHeaders headers;
    std::string body;
    int remotePort = 0;  // tells connections apart
};

// An HTTP server on 127.0.0.1 and an ephemeral port, in this process, serving canned routes:
// a fake registry for tests and benchmarks. Routes may be changed while it runs. Requests are
// served by a pool of workers (64 by default; fewer than the clients in flight would make
// every concurrency figure a measure of this server). Unknown paths answer 404.
class LoopbackServer {
public:
    struct Options {
        std::size_t workerThreads = 64;
        bool tls = false;  // https with a self-signed certificate for 127.0.0.1 (see certificatePath)
    };

    LoopbackServer();
    explicit LoopbackServer(Options options);
    ~LoopbackServer();  // stops
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Routes match the path exactly, for any method; HEAD is answered without the body.
    void setRoute(std::string path, LoopbackRoute route);
    void setHandler(std::string path, std::function<LoopbackRoute(const LoopbackRequest&)> handler);

    int port() const noexcept;
    std::string origin() const;                     // "http://127.0.0.1:PORT"
    std::string url(std::string_view target) const;  // origin + target
    // The PEM certificate of a TLS server, to trust it (SSL_CERT_FILE).
    std::string certificatePath() const;

    // Every request seen, in arrival order (CONNECT and other unrouted methods included).
    std::vector<LoopbackRequest> requests() const;
    std::size_t requestCount(std::string_view path) const;

    // Stops accepting, wakes requests still waiting out a latency, and joins the workers.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vt::testing
