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
