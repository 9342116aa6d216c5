#include "system/BrewAPIClient.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Corpus.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using testing::MockNetworkClient;

HttpResponse answer(int status, std::string body, std::optional<std::string> etag = std::nullopt) {
    HttpResponse response;
    response.statusCode = status;
    response.body = std::move(body);
    if (etag) response.headers.add("ETag", *etag);
    return response;
}

const std::string kCaskURL = Endpoints::url(Service::HomebrewApi, "/cask.json");

// Entries that are not casks are left out; a refresh sends the stored ETag, and a 304, a
// failure or an answer that is not a list leaves the index as it was.
TEST(BrewAPIClientTest, ReadsTheCaskIndexRefreshesWithItsETagAndKeepsItUnlessReplaced) {
    const std::string caffeine = testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json");
    const std::string everything = testing::corpusFile("homebrew/brew-test-fixtures/cask-everything.json");
    MockNetworkClient network;
    network.setResponse(kCaskURL, answer(200, "[" + caffeine + "," + everything + R"(, {"name": ["nameless"]}, 7])",
                                         "\"v1\""));
    BrewAPIClient client(network);

    EXPECT_TRUE(client.refreshCaskIndex());
    EXPECT_EQ(client.caskIndex()->size(), 2u);
    ASSERT_TRUE(client.cask("everything"));
    EXPECT_EQ(client.cask("everything")->version, "1.2.3");
    EXPECT_TRUE(client.cask("everything")->autoUpdates);
    EXPECT_FALSE(client.cask("caffeine")->autoUpdates);  // null reads as false
    EXPECT_EQ(client.caskETag(), "\"v1\"");
    EXPECT_FALSE(network.sentRequests()[0].ifNoneMatch.has_value());

    network.setResponse(kCaskURL, answer(304, ""));
    EXPECT_FALSE(client.refreshCaskIndex());
    ASSERT_EQ(network.sentRequests().size(), 2u);
    EXPECT_EQ(network.sentRequests()[1].ifNoneMatch, "\"v1\"");
    EXPECT_TRUE(client.cask("caffeine"));

    network.setResponse(kCaskURL, answer(200, R"({"casks": []})"));
    EXPECT_THAT([&] { client.refreshCaskIndex(); }, ::testing::Throws<NetworkError>(::testing::Property(
                                                        &NetworkError::kind, NetworkError::Kind::DecodingFailed)));
    network.setResponse(kCaskURL, answer(500, "oops"));
    EXPECT_THROW(client.refreshCaskIndex(), NetworkError);
    network.setError(kCaskURL, NetworkError::timeout());
    EXPECT_THROW(client.refreshCaskIndex(), NetworkError);
    EXPECT_TRUE(client.cask("everything"));
}

TEST(BrewAPIClientTest, ANewClientStartsFromTheDiskCacheAndItsETag) {
    testing::TempDir folder("vt-brew-api");
    MockNetworkClient network;
    network.setResponse(kCaskURL, answer(200, R"([{"token": "iterm2", "version": "3.5.0"}])", "W/\"abc\""));
    {
        BrewAPIClient client(network, BrewAPIClient::Options{folder.path()});
        client.refreshCaskIndex();
    }
    network.setResponse(kCaskURL, answer(304, ""));
    BrewAPIClient later(network, BrewAPIClient::Options{folder.path()});
    EXPECT_FALSE(later.refreshCaskIndex());
    EXPECT_EQ(network.sentRequests().back().ifNoneMatch, "W/\"abc\"");
    ASSERT_TRUE(later.cask("iterm2"));
    EXPECT_EQ(later.cask("iterm2")->version, "3.5.0");
}

}  // namespace
}  // namespace vt
