#include <gtest/gtest.h>

#include "support/MockNetworkClient.hpp"
#include "system/NetworkClient.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {
namespace {

TEST(NetworkErrorTest, EveryCaseHasItsTextsAndEqualityFollowsThePayload) {
    struct Case {
        NetworkError error;
        const char* description;
        const char* suggestion;
    };
    const Case cases[] = {
        {NetworkError::invalidResponse(503), "Invalid response from server (HTTP 503)",
         "The server may be experiencing issues. Try again later."},
        {NetworkError::invalidURL("ht tp://x"), "Invalid URL: ht tp://x", "Check the URL format and try again"},
        {NetworkError::decodingFailed("bad JSON"), "Failed to decode response: bad JSON",
         "The server response format may have changed. Update the app."},
        {NetworkError::timeout(), "Network request timed out", "Check your internet connection and try again"},
        {NetworkError::connectionFailed(), "Failed to connect to server", "Check your internet connection and try again"},
        {NetworkError::sslError(), "SSL certificate error",
         "Check your network settings and ensure your system date/time is correct"},
        {NetworkError::noData(), "No data received from server",
         "The server may not have returned any data. Try again."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.description(), c.description);
        EXPECT_EQ(c.error.recoverySuggestion(), c.suggestion);
    }
    EXPECT_EQ(NetworkError::invalidResponse(404), NetworkError::invalidResponse(404));
    EXPECT_NE(NetworkError::invalidResponse(404), NetworkError::invalidResponse(500));
    EXPECT_NE(NetworkError::invalidURL("a"), NetworkError::invalidURL("b"));
    EXPECT_NE(NetworkError::timeout(), NetworkError::connectionFailed());
    // The transport's own message is for the log, not part of what the error is.
    EXPECT_EQ(NetworkError::timeout().withCause("Operation timed out after 300 ms"), NetworkError::timeout());
}

TEST(HttpResponseTest, HeadersAndBodyChecks) {
    HttpResponse response;
    response.statusCode = 200;
    response.headers = {{"x-ratelimit-remaining", " 0 "}, {"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"},
                        {"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}, {"Content-Length", "-5"}};
    EXPECT_EQ(response.rateLimitRemaining(), 0);
    EXPECT_EQ(response.retryAfterSeconds(), std::nullopt);  // the date form
    EXPECT_EQ(response.contentLength(), std::nullopt);
    EXPECT_EQ(response.headers.getAll("SET-COOKIE"), (std::vector<std::string>{"a=1", "b=2"}));
    response.headers.set("Set-Cookie", "c=3");
    EXPECT_EQ(response.headers.getAll("set-cookie"), (std::vector<std::string>{"c=3"}));

    EXPECT_THROW(NetworkClient::successfulBody(response), NetworkError);  // empty
    response.statusCode = 204;
    response.body = "x";
    EXPECT_EQ(NetworkClient::successfulBody(response), "x");
    response.statusCode = 304;
    EXPECT_EQ(
        [&] {
            try {
                NetworkClient::successfulBody(response);
            } catch (const NetworkError& error) {
                return error;
            }
            return NetworkError::noData();
        }(),
        NetworkError::invalidResponse(304));
    EXPECT_EQ(NetworkClient::decodedText("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_THROW(NetworkClient::decodedText("\xED\xA0\x80"), NetworkError);  // an encoded surrogate
}

TEST(RegistryRequestTest, NamePattern) {
    for (const char* name : {"serde", "@types/node", "zope.interface", "rust_decimal", "golang.org/x/tools", "a-b"}) {
        EXPECT_TRUE(RegistryRequest::isLookupName(name)) << name;
    }
    for (const char* name : {"", "a b", "a?b", "a&b", "a\n", "\na", "a%20b", "ü"}) {
        EXPECT_FALSE(RegistryRequest::isLookupName(name)) << name;
    }
}

TEST(MockNetworkClientTest, AnswersFromCannedDataAndRemembers) {
    testing::MockNetworkClient mock;
    mock.setText("https://a/", "text");
    mock.setData("https://a/", "bytes");
    mock.setError("https://b/", NetworkError::timeout());
    EXPECT_EQ(mock.fetchText("https://a/"), "bytes");
    EXPECT_THROW(mock.fetchData("https://b/"), NetworkError);
    EXPECT_EQ(mock.send(RegistryRequest::get("https://c/")).statusCode, 404);
    EXPECT_EQ(mock.fetchedURLs(), (std::vector<std::string>{"https://a/", "https://b/", "https://c/"}));
    EXPECT_EQ(mock.sentRequests().at(0).headers.get("User-Agent"), kDefaultUserAgent);
}

}  // namespace
}  // namespace vt
