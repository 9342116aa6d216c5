#include "system/BrewAPIClient.hpp"

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

const std::string kFormulaURL = Endpoints::url(Service::HomebrewApi, "/formula.json");
const std::string kCaskURL = Endpoints::url(Service::HomebrewApi, "/cask.json");

TEST(BrewAPIClientTest, RefreshesWithTheStoredETagAndKeepsTheIndexOnNotModified) {
    const std::string wget = testing::corpusFile("homebrew/formulae.brew.sh-data/formula-wget.json");
    MockNetworkClient network;
    network.setResponse(kFormulaURL, answer(200, "[" + wget + R"(, {"full_name": "nameless"}, 7])", "\"v1\""));
    BrewAPIClient client(network);

    EXPECT_TRUE(client.refreshFormulaIndex());
    std::optional<BrewAPIClient::FormulaEntry> entry = client.formula("wget");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->fullName, "wget");
    EXPECT_EQ(entry->versions.stable, "1.21.1");
    EXPECT_EQ(client.formulaIndex()->size(), 1u);
    EXPECT_EQ(client.formulaETag(), "\"v1\"");
    EXPECT_FALSE(network.sentRequests()[0].ifNoneMatch.has_value());

    network.setResponse(kFormulaURL, answer(304, ""));
    EXPECT_FALSE(client.refreshFormulaIndex());
    ASSERT_EQ(network.sentRequests().size(), 2u);
    EXPECT_EQ(network.sentRequests()[1].ifNoneMatch, "\"v1\"");
    EXPECT_TRUE(client.formula("wget"));

    // A failed refresh leaves the index as it was.
    network.setError(kFormulaURL, NetworkError::timeout());
    EXPECT_THROW(client.refreshFormulaIndex(), NetworkError);
    EXPECT_TRUE(client.formula("wget"));
}

TEST(BrewAPIClientTest, ReadsTheCaskIndexAndRejectsWhatIsNotAList) {
    const std::string caffeine = testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json");
    const std::string everything = testing::corpusFile("homebrew/brew-test-fixtures/cask-everything.json");
    MockNetworkClient network;
    network.setResponse(kCaskURL, answer(200, "[" + caffeine + "," + everything + "]"));
    BrewAPIClient client(network);
    EXPECT_TRUE(client.refreshCaskIndex());
    ASSERT_TRUE(client.cask("everything"));
    EXPECT_EQ(client.cask("everything")->version, "1.2.3");
    EXPECT_TRUE(client.cask("everything")->autoUpdates);
    EXPECT_FALSE(client.cask("caffeine")->autoUpdates);  // null reads as false
    EXPECT_EQ(client.caskETag(), std::nullopt);

    network.setResponse(kCaskURL, answer(200, R"({"casks": []})"));
    try {
        client.refreshCaskIndex();
        FAIL() << "expected decodingFailed";
    } catch (const NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkError::Kind::DecodingFailed);
    }
    EXPECT_TRUE(client.cask("everything"));
    network.setResponse(kCaskURL, answer(500, "oops"));
    EXPECT_THROW(client.refreshCaskIndex(), NetworkError);
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
