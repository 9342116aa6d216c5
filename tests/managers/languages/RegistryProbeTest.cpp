#include "managers/languages/RegistryProbe.hpp"

#include <gtest/gtest.h>

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
        if (i == 3) {
            HttpResponse missing;
            missing.statusCode = 404;
            flaky.setResponse(crateURL(names[i]), missing);
        } else {
            flaky.setError(crateURL(names[i]), NetworkError::timeout());
        }
    }
    RegistryProbe patient(flaky, Service::Crates, "CargoManager");
    for (const std::string& name : names) EXPECT_FALSE(patient.lookup(name, crateURL, {}));
    EXPECT_EQ(flaky.fetchedURLs().size(), names.size());
    EXPECT_TRUE(patient.wasUnreachable());
}

}  // namespace
}  // namespace vt
