#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "support/FakeCommandRunner.hpp"
#include "system/NetworkFilterDetector.hpp"
#include "system/NetworkFilterWarningState.hpp"

namespace vt {
namespace {

// A listing as the tool prints it: tab-separated columns, one section per category.
constexpr const char* kListing =
    "4 extension(s)\n"
    "--- com.apple.system_extension.network_extension\n"
    "enabled\tactive\tteamID\tbundleID (version)\tname\t[state]\n"
    "*\t*\tAB12CD34EF\tcom.example.firewall.network (2.6.1/2.6.1)\tExample Firewall\t[activated enabled]\n"
    "\t\tZZ98YY76XX\tnet.sample.vpn.tunnel (1.0/42)\tSample VPN\t[activated waiting for user]\n"
    "*\t*\tQQ11RR22SS\torg.filterco.content-filter (5.7.2/6413)\t  Filter Co Content Filter  \t[activated enabled]\n"
    "--- com.apple.system_extension.endpoint_security\n"
    "enabled\tactive\tteamID\tbundleID (version)\tname\t[state]\n"
    "*\t*\tAB12CD34EF\tcom.example.firewall.security (2.6.1/2.6.1)\tExample Security\t[activated enabled]\n";

using Response = testing::FakeCommandRunner::Response;
using Filter = NetworkFilterDetector::NetworkFilter;

TEST(NetworkFilterDetectorTest, ListingGivesNetworkExtensionsOnly) {
    EXPECT_EQ(NetworkFilterDetector::parseListing(kListing),
              (std::vector<Filter>{{"com.example.firewall.network", "Example Firewall", true},
                                   {"net.sample.vpn.tunnel", "Sample VPN", false},
                                   {"org.filterco.content-filter", "Filter Co Content Filter", true}}));
    EXPECT_TRUE(NetworkFilterDetector::parseListing("0 extension(s)\n").empty());
}

TEST(NetworkFilterDetectorTest, RunsTheToolOnlyWhereItExists) {
    testing::FakeCommandRunner runner;
    runner.otherwise(Response::output(kListing));
    NetworkFilterDetector absent(runner, "/nonexistent/systemextensionsctl");
    EXPECT_TRUE(absent.detectActiveFilters().empty());
    EXPECT_TRUE(runner.history().empty());

    NetworkFilterDetector present(runner, "/bin/sh");  // any executable stands in for the tool
    EXPECT_EQ(present.activeFilterNames(), (std::vector<std::string>{"Example Firewall", "Filter Co Content Filter"}));
    ASSERT_EQ(runner.commandLines(), (std::vector<std::string>{"/bin/sh list"}));
    EXPECT_TRUE(runner.history()[0].timeout.has_value());

    runner.otherwise(Response::output(std::string(kListing) + "\xff\xfe"));
    EXPECT_TRUE(present.detectActiveFilters().empty());
    runner.otherwise(Response::throwing(CommandError::timeout()));
    EXPECT_TRUE(present.detectActiveFilters().empty());
}

TEST(NetworkFilterDetectorTest, WarningAboveThreeFailuresInTen) {
    NetworkFilterWarningState state;
    int detections = 0;
    auto filters = [&] {
        ++detections;
        return std::vector<std::string>{"Example Firewall", "Filter Co Content Filter"};
    };
    state.update(3, 10, filters);
    EXPECT_FALSE(state.warning().has_value());
    EXPECT_EQ(detections, 0);

    LogCapture capture;
    state.update(4, 10, filters);
    ASSERT_TRUE(state.warning().has_value());
    EXPECT_EQ(*state.warning(), (NetworkFilterWarning{{"Example Firewall", "Filter Co Content Filter"}, 4, 10}));
    EXPECT_TRUE(capture.contains(
        "⚠️ Network filter warning: Example Firewall, Filter Co Content Filter — 4 failures out of 10 checked"));

    state.dismiss();
    EXPECT_TRUE(state.isDismissed());
    state.update(6, 10, filters);  // the next scan over the threshold shows it again
    EXPECT_FALSE(state.isDismissed());
    EXPECT_EQ(state.warning()->failedCount, 6);

    state.update(9, 10, [] { return std::vector<std::string>{}; });  // no filter active
    EXPECT_FALSE(state.warning().has_value());
    state.update(4, 10, filters);
    state.update(0, 0, filters);  // nothing attempted
    EXPECT_FALSE(state.warning().has_value());
}

}  // namespace
}  // namespace vt
