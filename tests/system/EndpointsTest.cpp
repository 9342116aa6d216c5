#include <set>

#include <stdlib.h>

#include <gtest/gtest.h>

#include "system/Endpoints.hpp"

namespace vt {
namespace {

class EndpointsTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (Service service : Endpoints::allServices()) {
            ::unsetenv(("VANTREEL_ENDPOINT_" + std::string(Endpoints::name(service))).c_str());
        }
    }
};

TEST_F(EndpointsTest, DefaultsAreThePublicServices) {
    for (Service service : Endpoints::allServices()) ::unsetenv(("VANTREEL_ENDPOINT_" + std::string(Endpoints::name(service))).c_str());
    const std::string crates = Endpoints::entry(Service::Crates).defaultAddress;
    EXPECT_EQ(Endpoints::url(Service::Crates, "/api/v1/crates/serde"), crates + "/api/v1/crates/serde");
    EXPECT_EQ("https://" + Endpoints::host(Service::Crates), crates);
    EXPECT_EQ(Endpoints::serviceNamed("homebrew_api"), Service::HomebrewApi);
    EXPECT_EQ(Endpoints::serviceNamed("NPM"), std::nullopt);

    std::set<std::string> names;
    for (const EndpointEntry& entry : Endpoints::table()) {
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_EQ(entry.variable, "VANTREEL_ENDPOINT_" + entry.name);
        EXPECT_EQ(entry.defaultAddress.rfind("https://", 0), 0u) << entry.name;
        EXPECT_NE(entry.defaultAddress.back(), '/') << entry.name;
        EXPECT_EQ(entry.address, entry.defaultAddress);
        EXPECT_FALSE(entry.overridden);
        // npm's registry is whatever npm is configured with, never ours to name.
        EXPECT_EQ(entry.defaultAddress.find("npm"), std::string::npos) << entry.name;
    }
    for (const char* required : {"PYPI", "GITHUB_API", "GITHUB_WEB", "ITUNES", "APPSTORE_WEB", "SOFA", "HOMEBREW_API",
                                 "OPENVSX", "VSMARKETPLACE", "FLUTTER", "CRATES"}) {
        EXPECT_TRUE(names.count(required)) << required;
    }
}

TEST_F(EndpointsTest, OverridesReplaceOriginAndPathPrefixWhenGiven) {
    ::setenv("VANTREEL_ENDPOINT_HOMEBREW_API", "http://127.0.0.1:8123", 1);
    EXPECT_EQ(Endpoints::url(Service::HomebrewApi, "/formula.json"), "http://127.0.0.1:8123/api/formula.json");
    EXPECT_EQ(Endpoints::host(Service::HomebrewApi), "127.0.0.1:8123");
    ::setenv("VANTREEL_ENDPOINT_HOMEBREW_API", "https://mirror.example.com/brew-api/", 1);
    EXPECT_EQ(Endpoints::url(Service::HomebrewApi, "/cask.json"), "https://mirror.example.com/brew-api/cask.json");
    ::setenv("VANTREEL_ENDPOINT_HOMEBREW_API", "HTTPS://Mirror.example.com/", 1);
    EXPECT_EQ(Endpoints::base(Service::HomebrewApi), "https://Mirror.example.com");

    ::setenv("VANTREEL_ENDPOINT_PYPI", "http://127.0.0.1:9000", 1);
    EndpointEntry pypi = Endpoints::entry(Service::PyPI);
    EXPECT_TRUE(pypi.overridden);
    EXPECT_EQ(pypi.address, "http://127.0.0.1:9000");
    EXPECT_FALSE(Endpoints::entry(Service::Crates).overridden);  // the others stay

    ::setenv("VANTREEL_ENDPOINT_PYPI", "", 1);  // empty counts as unset
    EXPECT_EQ(Endpoints::base(Service::PyPI), pypi.defaultAddress);

    for (const char* bad : {"127.0.0.1:8123", "ftp://mirror.example.com", "http://", "http://:80/x",
                            "http://host/path?query", "http://ho st"}) {
        ::setenv("VANTREEL_ENDPOINT_PYPI", bad, 1);
        EXPECT_THROW(Endpoints::base(Service::PyPI), EndpointError) << bad;
        EXPECT_THROW(Endpoints::table(), EndpointError) << bad;
    }
}

}  // namespace
}  // namespace vt
