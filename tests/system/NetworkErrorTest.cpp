#include <gtest/gtest.h>

#include "support/Thrown.hpp"

#include "system/NetworkClient.hpp"

namespace vt {
namespace {

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

    auto errorOf = [&] { return testing::thrown<NetworkError>([&] { NetworkClient::successfulBody(response); }).value(); };
    EXPECT_EQ(errorOf(), NetworkError::noData());  // empty
    response.statusCode = 204;
    response.body = "x";
    EXPECT_EQ(NetworkClient::successfulBody(response), "x");
    response.statusCode = 304;
    EXPECT_EQ(errorOf(), NetworkError::invalidResponse(304));
    EXPECT_EQ(NetworkClient::decodedText("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_THROW(NetworkClient::decodedText("\xED\xA0\x80"), NetworkError);  // an encoded surrogate
}

}  // namespace
}  // namespace vt
