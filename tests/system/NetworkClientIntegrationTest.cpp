#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/Endpoints.hpp"
#include "system/RegistryRequest.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackRoute;
using testing::LoopbackServer;
using testing::ScopedEnvironment;

class NetworkClientTest : public ::testing::Test {
protected:
    // A proxy configured on the machine running the tests would swallow loopback requests.
    ScopedEnvironment noHttpProxy_{"http_proxy", nullptr};
    ScopedEnvironment noHttpsProxy_{"https_proxy", nullptr};
    ScopedEnvironment noHttpsProxyUpper_{"HTTPS_PROXY", nullptr};
    ScopedEnvironment noAllProxy_{"all_proxy", nullptr};
    ScopedEnvironment noAllProxyUpper_{"ALL_PROXY", nullptr};

    LoopbackServer server_;
    SystemNetworkClient client_;

    NetworkError errorOf(const std::function<void()>& call) { return testing::thrown<NetworkError>(call).value(); }

    HttpRequest get(const std::string& target) {
        HttpRequest request;
        request.url = server_.url(target);
        return request;
    }
};

TEST_F(NetworkClientTest, ResponsesCarryStatusHeadersAndFinalUrlAfterRedirects) {
    const LoopbackRoute data{.body = R"({"version":"1.2.3"})",
                             .contentType = "application/zip",  // a type the server would not compress
                             .headers = {{"Content-Disposition", "attachment; filename=\"tool-1.2.3.zip\""},
                                         {"Retry-After", "120"},
                                         {"X-RateLimit-Remaining", "42"},
                                         {"X-RateLimit-Reset", "1700000000"}},
                             .etag = "\"abc\""};
    server_.setRoute("/data", data);
    server_.setRoute("/second", {.redirectTo = "/data"});
    server_.setRoute("/first", {.redirectTo = server_.url("/second")});

    HttpResponse response = client_.send(get("/first"));
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.url, server_.url("/data"));
    EXPECT_EQ(response.body, data.body);
    EXPECT_EQ(response.etag(), "\"abc\"");
    EXPECT_EQ(response.header("etag"), "\"abc\"");  // any case
    EXPECT_EQ(response.contentType(), "application/zip");
    EXPECT_EQ(response.contentLength(), data.body.size());
    EXPECT_EQ(response.contentDisposition(), "attachment; filename=\"tool-1.2.3.zip\"");
    EXPECT_EQ(response.retryAfterSeconds(), 120);
    EXPECT_EQ(response.rateLimitRemaining(), 42);
    EXPECT_EQ(response.rateLimitReset(), 1700000000);
    // Only the final answer's fields: the redirects' Location is gone.
    EXPECT_FALSE(response.headers.contains("Location"));
    EXPECT_EQ(client_.fetchText(server_.url("/first")), data.body);
    EXPECT_EQ(client_.fetchJson(server_.url("/data"))["version"], "1.2.3");

    // Large JSON indexes travel compressed and come back decoded.
    LoopbackRoute index;
    index.contentType = "application/json";
    for (int i = 0; i < 2000; ++i) index.body += R"({"name":"formula)" + std::to_string(i) + R"(","version":"1.0"},)";
    server_.setRoute("/index.json", index);
    HttpResponse indexResponse = client_.send(get("/index.json"));
    EXPECT_EQ(indexResponse.body, index.body);
    EXPECT_TRUE(indexResponse.header("Content-Encoding").has_value());

    HttpResponse headResponse = client_.send({.url = server_.url("/data"), .method = HttpMethod::Head});
    EXPECT_EQ(headResponse.statusCode, 200);
    EXPECT_TRUE(headResponse.body.empty());
    EXPECT_EQ(headResponse.contentLength(), data.body.size());

    HttpRequest post = get("/data");
    post.method = HttpMethod::Post;
    post.body = R"({"filters":[1]})";
    post.headers.set("Content-Type", "application/json;api-version=3.0-preview.1");
    EXPECT_EQ(client_.send(post).statusCode, 200);

    auto requests = server_.requests();
    ASSERT_FALSE(requests.empty());
    const testing::LoopbackRequest& sent = requests.back();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, post.body);
    EXPECT_EQ(sent.headers.get("content-type"), "application/json;api-version=3.0-preview.1");
    EXPECT_EQ(sent.headers.get("User-Agent"), kDefaultUserAgent);
}

TEST_F(NetworkClientTest, EachErrorComesFromTheFailureItStandsFor) {
    // Refused: a port nobody listens on any more.
    int closedPort = 0;
    {
        LoopbackServer gone;
        closedPort = gone.port();
    }
    EXPECT_EQ(errorOf([&] { client_.fetchData("http://127.0.0.1:" + std::to_string(closedPort) + "/x"); }),
              NetworkError::connectionFailed());

    // Timeout, well before the server would answer.
    server_.setRoute("/slow", {.latency = 5s});
    const HttpRequest request{.url = server_.url("/slow"), .timeoutSeconds = 0.3};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf([&] { client_.send(request); }), NetworkError::timeout());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    for (std::string url : {"http://exa mple.org/x", "example.org/no-scheme", "file:///etc/hostname", "ftp://127.0.0.1/",
                            "http://", ""}) {
        EXPECT_EQ(errorOf([&] { client_.fetchData(url); }), NetworkError::invalidURL(url)) << url;
    }

    server_.setRoute("/500", {.status = 500, .body = "oops"});
    EXPECT_EQ(errorOf([&] { client_.fetchData(server_.url("/500")); }), NetworkError::invalidResponse(500));
    EXPECT_EQ(client_.send(get("/500")).statusCode, 500);  // send hands every status back

    server_.setRoute("/latin1", {.body = "caf\xE9", .contentType = "text/plain"});
    EXPECT_EQ(client_.fetchData(server_.url("/latin1")), "caf\xE9");
    EXPECT_EQ(errorOf([&] { client_.fetchText(server_.url("/latin1")); }).kind(), NetworkError::Kind::DecodingFailed);
    server_.setRoute("/html", {.body = "<html>rate limited</html>"});
    EXPECT_EQ(errorOf([&] { client_.fetchJson(server_.url("/html")); }),
              NetworkError::decodingFailed("the body is not JSON"));

    // Cut off mid-body although the full length was announced.
    server_.setRoute("/truncated", {.body = std::string(100000, 'x'), .closeAfterBytes = 40000});
    EXPECT_EQ(errorOf([&] { client_.fetchData(server_.url("/truncated")); }), NetworkError::connectionFailed());

    // TLS spoken to a plain-HTTP port.
    std::string tlsToPlain = "https://127.0.0.1:" + std::to_string(server_.port()) + "/data";
    NetworkError tls = errorOf([&] { client_.fetchData(tlsToPlain); });
    EXPECT_EQ(tls, NetworkError::sslError());
    EXPECT_FALSE(tls.cause().empty());
    EXPECT_EQ(tls.recoverySuggestion(), "Check your network settings and ensure your system date/time is correct");
}

TEST_F(NetworkClientTest, TrustStoreComesFromTheEnvironment) {
    LoopbackServer secure(LoopbackServer::Options{.workerThreads = 8, .tls = true});
    secure.setRoute("/hello", {.body = "hello"});
    {
        ScopedEnvironment noBundle("CURL_CA_BUNDLE", nullptr);
        ScopedEnvironment noFile("SSL_CERT_FILE", nullptr);
        SystemNetworkClient untrusting;
        EXPECT_EQ(errorOf([&] { untrusting.fetchData(secure.url("/hello")); }), NetworkError::sslError());
    }
    ScopedEnvironment noBundle("CURL_CA_BUNDLE", nullptr);
    ScopedEnvironment trust("SSL_CERT_FILE", secure.certificatePath().c_str());
    SystemNetworkClient trusting;
    EXPECT_EQ(trusting.fetchData(secure.url("/hello")), "hello");
}

TEST_F(NetworkClientTest, RedirectLoopsAndOversizedBodiesAreRefused) {
    server_.setRoute("/a", {.redirectTo = "/b"});
    server_.setRoute("/b", {.redirectTo = "/a"});
    HttpRequest loop = get("/a");
    loop.maxRedirects = 5;
    EXPECT_EQ(errorOf([&] { client_.send(loop); }), NetworkError::invalidResponse(302));
    EXPECT_EQ(server_.requestCount("/a") + server_.requestCount("/b"), 6u);
    loop.maxRedirects = 0;
    HttpResponse unfollowed = client_.send(loop);
    EXPECT_EQ(unfollowed.statusCode, 302);
    EXPECT_EQ(unfollowed.header("Location"), "/b");

    // Refused from the announced length, and from the bytes as they arrive (decompressed).
    LoopbackRoute large;
    large.body = std::string(300000, 'a');
    large.contentType = "application/octet-stream";
    server_.setRoute("/large", large);
    large.contentType = "application/json";
    large.chunked = true;
    large.chunkSize = 16384;
    server_.setRoute("/large-chunked", large);
    for (const char* target : {"/large", "/large-chunked"}) {
        HttpRequest request = get(target);
        request.maxBodyBytes = 100000;
        NetworkError error = errorOf([&] { client_.send(request); });
        EXPECT_EQ(error, NetworkError::decodingFailed("the body is larger than the limit of 100000 bytes")) << target;
        request.maxBodyBytes = 300000;
        EXPECT_EQ(client_.send(request).body.size(), 300000u) << target;
    }
    const HttpRequest head{.url = server_.url("/large"), .method = HttpMethod::Head, .maxBodyBytes = 1000};
    EXPECT_EQ(client_.send(head).contentLength(), 300000u);  // no body, so nothing to refuse
}

TEST_F(NetworkClientTest, WhatWasAskedForOverHttpsNeverContinuesOverPlainHttp) {
    LoopbackServer secure(LoopbackServer::Options{.workerThreads = 32, .tls = true});
    SystemNetworkClient client(SystemNetworkClient::Options{.caFile = secure.certificatePath()});
    server_.setRoute("/file.dmg", LoopbackRoute{.body = "plain", .contentType = "application/octet-stream"});
    secure.setRoute("/file.dmg", LoopbackRoute{.body = "sealed", .contentType = "application/octet-stream"});
    secure.setRoute("/downgrade", LoopbackRoute{.redirectTo = server_.url("/file.dmg")});
    secure.setRoute("/moved", LoopbackRoute{.redirectTo = secure.url("/file.dmg")});

    const testing::TempDir temporary("vt-redirect");
    const std::string& folder = temporary.path();
    NetworkError refused = errorOf([&] { client.download({.url = secure.url("/downgrade")}, folder + "/file.dmg"); });
    EXPECT_EQ(refused, NetworkError::insecureRedirect(server_.url("/file.dmg")));
    EXPECT_EQ(server_.requestCount("/file.dmg"), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder + "/file.dmg"));
    EXPECT_EQ(errorOf([&] { client.send({.url = secure.url("/downgrade")}); }).kind(), NetworkError::Kind::InsecureRedirect);

    // https to https, and plain http to plain http, are followed as before.
    client.download({.url = secure.url("/moved")}, folder + "/file.dmg");
    EXPECT_EQ(readFile(folder + "/file.dmg"), "sealed");
    server_.setRoute("/old", LoopbackRoute{.redirectTo = "/file.dmg"});
    EXPECT_EQ(client_.send(get("/old")).body, "plain");
}

TEST_F(NetworkClientTest, StoredEtagGivesNotModified) {
    server_.setRoute("/formula.json", {.body = R"([{"name":"wget"}])", .etag = "W/\"v1\""});

    HttpResponse first = client_.send(get("/formula.json"));
    ASSERT_EQ(first.statusCode, 200);
    HttpRequest again = get("/formula.json");
    again.ifNoneMatch = first.etag();
    HttpResponse second = client_.send(again);
    EXPECT_TRUE(second.isNotModified());
    EXPECT_TRUE(second.body.empty());
    EXPECT_EQ(second.etag(), "W/\"v1\"");
    EXPECT_EQ(server_.requests().back().headers.get("If-None-Match"), "W/\"v1\"");

    again.ifNoneMatch = "\"stale\"";
    EXPECT_EQ(client_.send(again).statusCode, 200);
}

TEST_F(NetworkClientTest, DownloadsAppearOnlyWhenComplete) {
    const testing::TempDir temporary("vt-download");
    const std::string& folder = temporary.path();
    std::string destination = folder + "/Tool.dmg";
    std::string payload(256 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);

    server_.setRoute("/Tool.dmg", {.body = payload, .contentType = "application/octet-stream", .chunkSize = 32 * 1024,
                                   .chunkDelay = 20ms});
    server_.setRoute("/latest", {.redirectTo = "/Tool.dmg"});

    std::vector<DownloadProgress> seen;
    HttpResponse response =
        client_.download(get("/latest"), destination, [&](const DownloadProgress& p) { seen.push_back(p); });
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(readFile(destination), payload);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().bytesReceived, payload.size());
    EXPECT_EQ(seen.back().totalBytes, payload.size());
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i].bytesReceived, seen[i - 1].bytesReceived);

    // Cancelled half-way: the previous file stays as it was, and no partial file remains.
    writeFileAtomically(destination, "previous version");
    std::stop_source stop;
    EXPECT_THROW(client_.download(get("/Tool.dmg"), destination,
                                  [&](const DownloadProgress& p) {
                                      if (p.bytesReceived >= payload.size() / 2) stop.request_stop();
                                  },
                                  stop.get_token()),
                 CancellationError);
    EXPECT_EQ(readFile(destination), "previous version");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    server_.setRoute("/missing", {.status = 404, .body = "no such release"});
    std::string other = folder + "/Other.zip";
    EXPECT_EQ(errorOf([&] { client_.download(get("/missing"), other); }), NetworkError::invalidResponse(404));
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    EXPECT_THROW(client_.download(get("/Tool.dmg"), folder + "/no/such/folder/x"), FileWriteError);
}

// Stalls bound a download: a server that goes silent fails it, a slow but steady one finishes
// even when the whole transfer lasts longer than the stall limit.
TEST_F(NetworkClientTest, SilenceLongerThanTheStallLimitFailsADownloadWhileASteadySlowOneCompletes) {
    const testing::TempDir folder("vt-stall");
    const std::string steady(1800, 's');  // 3.6 s in all, a piece every 200 ms
    server_.setRoute("/steady", {.body = steady, .chunkSize = 100, .chunkDelay = 200ms});
    // One piece, then nothing for 6 s.
    server_.setRoute("/silent", {.body = std::string(200, 'x'), .chunkSize = 100, .chunkDelay = 6000ms});
    HttpRequest request = get("/steady");
    request.timeoutSeconds = 1;  // the connection only, once stalls bound the transfer
    // curl measures the speed once a second: a one-second limit could trip before the first
    // measurement of a steady transfer.
    request.stallTimeoutSeconds = 2;
    const auto start = std::chrono::steady_clock::now();
    client_.download(request, folder.file("steady.bin"));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(readFile(folder.file("steady.bin")), steady);

    request.url = server_.url("/silent");
    EXPECT_EQ(errorOf([&] { client_.download(request, folder.file("silent.bin")); }).kind(), NetworkError::Kind::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_FALSE(std::filesystem::exists(folder.file("silent.bin")));
    server_.stop();
}

TEST_F(NetworkClientTest, CancellationStopsWaitingRequests) {
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(client_.send(get("/anything"), stopped.get_token()), CancellationError);
    EXPECT_EQ(server_.requests().size(), 0u);

    server_.setRoute("/slow", {.latency = 10s});
    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client_.send(get("/slow"), stop.get_token()), CancellationError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(NetworkClientTest, ConcurrentRequestsToOneHostReuseConnections) {
    server_.setRoute("/pypi/requests/json", {.body = R"({"info":{"version":"2.0"}})", .latency = 5ms});
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kPerThread; ++i) {
                    try {
                        if (client_.fetchJson(server_.url("/pypi/requests/json"))["info"]["version"] != "2.0") ++failures;
                    } catch (const std::exception&) {
                        ++failures;
                    }
                }
            });
        }
    }
    EXPECT_EQ(failures.load(), 0);
    std::set<int> connections;
    for (const auto& request : server_.requests()) connections.insert(request.remotePort);
    EXPECT_EQ(server_.requests().size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_LE(connections.size(), static_cast<std::size_t>(2 * kThreads));
}

TEST_F(NetworkClientTest, ProxyVariablesAreHonoured) {
    // Upper-case HTTPS_PROXY: the client asks the proxy for a tunnel instead of connecting.
    LoopbackServer proxy;
    ScopedEnvironment viaProxy("HTTPS_PROXY", proxy.origin().c_str());
    ScopedEnvironment noExceptions("NO_PROXY", nullptr);
    ScopedEnvironment noExceptionsLower("no_proxy", nullptr);
    SystemNetworkClient client;
    EXPECT_THROW(client.fetchData("https://registry.example.invalid/pkg"), NetworkError);
    auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "CONNECT");
    EXPECT_EQ(seen[0].target, "registry.example.invalid:443");

    // A host listed in NO_PROXY is reached directly (here: refused).
    int closedPort = 0;
    {
        LoopbackServer gone;
        closedPort = gone.port();
    }
    ScopedEnvironment bypass("NO_PROXY", "127.0.0.1");
    EXPECT_EQ(errorOf([&] { client.fetchData("https://127.0.0.1:" + std::to_string(closedPort) + "/"); }),
              NetworkError::connectionFailed());
    EXPECT_EQ(proxy.requests().size(), 1u);
}

TEST_F(NetworkClientTest, RegistryLookupsFollowTheConventionsAndNeverFail) {
    ScopedEnvironment crates("VANTREEL_ENDPOINT_CRATES", server_.origin().c_str());
    server_.setRoute("/api/v1/crates/ripgrep", {.body = R"({"crate":{"max_stable_version":"14.1.0"}})"});
    server_.setRoute("/api/v1/crates/html", {.body = "<html>maintenance</html>"});

    RegistryRequest registry(client_);
    auto crateUrl = [](std::string_view name) {
        return Endpoints::url(Service::Crates, "/api/v1/crates/" + std::string(name));
    };
    auto found = registry.lookup("ripgrep", crateUrl);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ((*found)["crate"]["max_stable_version"], "14.1.0");
    auto sent = server_.requests().back();
    EXPECT_EQ(sent.path, "/api/v1/crates/ripgrep");
    // Our version and the system we run on; never another system's name.
    EXPECT_EQ(sent.headers.get("User-Agent"),
              std::string("Vantreel/") + VT_PROGRAM_VERSION + (kBuiltForLinux ? " (Linux)" : " (macOS)"));

    EXPECT_FALSE(registry.lookup("missing", crateUrl).has_value());  // 404
    EXPECT_FALSE(registry.lookup("html", crateUrl).has_value());
    std::size_t before = server_.requests().size();
    for (std::string_view bad : {"rip grep", "x?admin=1", "a&b", "a#b", "name\n", "", "caf\xC3\xA9", "a%2Fb",
                                  "../../x", "@scope/..", ".", "a//b", "/etc"}) {
        EXPECT_FALSE(registry.lookup(bad, crateUrl).has_value()) << bad;
    }
    EXPECT_EQ(server_.requests().size(), before);
    EXPECT_FALSE(registry.fetchJson("http://127.0.0.1:1/").has_value());

    HttpRequest github = RegistryRequest::gitHubGet(server_.url("/repos/o/r/releases/latest"), "token123");
    registry.fetchJson(github);
    sent = server_.requests().back();
    EXPECT_EQ(sent.headers.get("Accept"), "application/vnd.github.v3+json");
    EXPECT_EQ(sent.headers.get("Authorization"), "Bearer token123");

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(registry.lookup("ripgrep", crateUrl, stop.get_token()), CancellationError);
}

}  // namespace
}  // namespace vt
