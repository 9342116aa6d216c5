#include "managers/python/Pep440.hpp"

#include <gtest/gtest.h>

namespace vt {
namespace {

pep440::Version version(std::string_view text) {
    std::optional<pep440::Version> parsed = pep440::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(pep440::Version{});
}

TEST(Pep440Test, VersionsOrderAndSpecifierSetsMatchAsPipDoes) {
    // Each before the next.
    const std::vector<std::string> ascending = {
        "0.9",       "1.0.dev0",  "1.0.dev1",      "1.0a1.dev2", "1.0a1",    "1.0-alpha.2", "1.0b1",
        "1.0c2",     "1.0rc3",    "1.0",           "1.0+abc",    "1.0+5",    "1.0.post1.dev0", "1.0-1",
        "1.0.post2", "1.0.1",     "1.10",          "2.0.0rc1",   "v2",       "1!0.1",
    };
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        EXPECT_LT(pep440::compare(version(ascending[i]), version(ascending[i + 1])), 0)
            << ascending[i] << " < " << ascending[i + 1];
        EXPECT_GT(pep440::compare(version(ascending[i + 1]), version(ascending[i])), 0);
    }
    EXPECT_EQ(pep440::compare(version("1.0"), version("1.0.0")), 0);
    EXPECT_EQ(pep440::compare(version("1.0RC1"), version("1.0c1")), 0);
    EXPECT_EQ(pep440::compare(version("1.0+ubuntu.1"), version("1.0+ubuntu-1")), 0);

    EXPECT_EQ(version("1.0-RC1").text(), "1.0rc1");
    EXPECT_EQ(version("1.0.0_alpha").text(), "1.0.0a0");
    EXPECT_EQ(version(" v2.1.post-3 ").text(), "2.1.post3");
    EXPECT_EQ(version("1!2.0-dev4+Local_7").text(), "1!2.0.dev4+local.7");
    EXPECT_TRUE(version("2.0.dev1").isPreRelease());
    EXPECT_TRUE(version("2.0b1.post1").isPreRelease());
    EXPECT_FALSE(version("2.0.post1").isPreRelease());
    for (const char* invalid : {"", "abc", "1.0-", "1..0", "1.0+", "1.0+a..b", "1.0 final", "99999999999999999999"})
        EXPECT_FALSE(pep440::parse(invalid).has_value()) << invalid;

    const pep440::Version python = version("3.11.7");
    const std::vector<std::pair<std::string, bool>> cases = {
        {">=3.8", true},
        {">=3.7, <4", true},
        {">=2.7, !=3.0.*, !=3.1.*, !=3.2.*", true},
        {">=3.12", false},
        {"<3.11", false},
        {"<=3.11", false},  // 3.11.7 is after 3.11
        {"<=3.11.7", true},
        {"==3.11.*", true},
        {"!=3.11.*", false},
        {"==3.11", false},
        {"==3.11.7", true},
        {"~=3.9", true},
        {"~=3.10.1", false},
        {">3.11.7", false},
        {">3.11", true},
        {"===3.11.7", true},
        {"  ", true},
    };
    for (const auto& [specifiers, expected] : cases) {
        std::optional<bool> met = pep440::satisfies(python, specifiers);
        ASSERT_TRUE(met.has_value()) << specifiers;
        EXPECT_EQ(*met, expected) << specifiers;
    }
    // Pre-releases of the bound itself are not below it.
    EXPECT_FALSE(pep440::satisfies(version("3.0rc1"), "<3.0").value());
    EXPECT_TRUE(pep440::satisfies(version("3.0rc1"), "<3.0.1").value());
    EXPECT_FALSE(pep440::satisfies(version("3.0.post1"), ">3.0").value());
    for (const char* invalid : {">=3.x", "3.8", "~=3", ">=3.8.*", "=>3.8"})
        EXPECT_FALSE(pep440::satisfies(python, invalid).has_value()) << invalid;
}

}  // namespace
}  // namespace vt
