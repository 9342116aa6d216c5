#include "managers/RegistryProbe.hpp"

#include <gtest/gtest.h>

#include "base/Clock.hpp"
#include "support/MockNetworkClient.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

std::string crateURL(std::string_view name) { return Endpoints::url(Service::Crates, "/api/v1/crates/" + std::string(name)); }

// Offline, every name would wait for its own failure: the probe stops asking when its first
// look-ups all go unanswered. A registry that has answered once (a 404 for a private name
// counts) is only slow: a long run of time-outs after that is never given up on.
TEST(RegistryProbeTest, StopsAskingAfterARunOfUnansweredLookUpsButNotWhileSomeAreAnswered) {
    std::vector<std::string> names;
    for (char c = 'a'; c <= 't'; ++c) names.push_back(std::string("crate-") + c);

    testing::MockNetworkClient offline;
    for (const std::string& name : names) offline.setError(crateURL(name), NetworkError::connectionFailed());
    RegistryProbe probe(offline, Service::Crates, "CargoManager");
    LogCapture log;
    for (const std::string& name : names) EXPECT_FALSE(probe.lookup(name, crateURL, {}));
    EXPECT_EQ(offline.fetchedURLs().size(), static_cast<std::size_t>(RegistryProbe::kGiveUpAfter));
    EXPECT_TRUE(probe.wasUnreachable());
    EXPECT_TRUE(log.contains("answered none of the first 5 look-ups; the other names are not asked this time"));

    testing::MockNetworkClient flaky;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i == 3) flaky.setResponse(crateURL(names[i]), HttpResponse{.statusCode = 404});
        else flaky.setError(crateURL(names[i]), NetworkError::timeout());
    }
    RegistryProbe patient(flaky, Service::Crates, "CargoManager");
    for (const std::string& name : names) EXPECT_FALSE(patient.lookup(name, crateURL, {}));
    EXPECT_EQ(flaky.fetchedURLs().size(), names.size());
    EXPECT_TRUE(patient.wasUnreachable());
}

// A kept answer is revalidated with its ETag only for the basis it was read for: a 304 keeps
// it another period; another basis (another installed version) fetches the document whole.
TEST(RegistryProbeTest, RevalidatesAKeptAnswerOnlyForTheBasisItWasReadFor) {
    testing::MockNetworkClient network;
    HttpResponse document{.statusCode = 200, .body = R"({"crate": {"max_stable_version": "2.0.0"}})"};
    document.headers.set("ETag", "W/\"d1\"");
    network.setResponse(crateURL("serde"), document);
    FakeClock clock;
    LatestVersionCache cache({.ttl = std::chrono::seconds(1800), .clock = &clock});
    std::string installed = "1.0.0";
    int reads = 0;
    RegistryProbe probe(network, Service::Crates, "CargoManager");
    const auto lookup = probe.revalidatingLookup(
        crateURL, [&](const std::string&) { return installed; },
        [&](const Json& json, const std::string&, std::stop_token) -> std::optional<LatestVersionCache::Answer> {
            ++reads;
            return LatestVersionCache::Answer{json["crate"]["max_stable_version"].get<std::string>(), {}, {}};
        });
    auto latest = [&] { return cache.latestRevalidated({"serde"}, lookup, {}).at("serde").version; };

    EXPECT_EQ(latest(), "2.0.0");
    EXPECT_EQ(network.sentRequests().back().ifNoneMatch, std::nullopt);
    clock.advance(std::chrono::minutes(31));
    network.setResponse(crateURL("serde"), HttpResponse{.statusCode = 304});
    EXPECT_EQ(latest(), "2.0.0");
    EXPECT_EQ(network.sentRequests().back().ifNoneMatch, "W/\"d1\"");
    EXPECT_EQ(reads, 1);
    clock.advance(std::chrono::minutes(29));  // the 304 started another period
    EXPECT_EQ(latest(), "2.0.0");
    EXPECT_EQ(network.fetchCount(crateURL("serde")), 2u);

    clock.advance(std::chrono::minutes(2));
    installed = "1.5.0";
    document.body = R"({"crate": {"max_stable_version": "2.1.0"}})";
    network.setResponse(crateURL("serde"), document);
    EXPECT_EQ(latest(), "2.1.0");
    EXPECT_EQ(network.sentRequests().back().ifNoneMatch, std::nullopt);
    EXPECT_EQ(reads, 2);
}

}  // namespace
}  // namespace vt
