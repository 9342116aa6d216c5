#include "model/VersionRules.hpp"

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "model/PendingUpdate.hpp"
#include "support/Corpus.hpp"

namespace vt {
namespace {

constexpr auto A = VersionOrder::Ascending;
constexpr auto S = VersionOrder::Same;
constexpr auto D = VersionOrder::Descending;

TEST(VersionRulesTest, CompareWorkedCases) {
    struct Case {
        const char* a;
        const char* b;
        VersionOrder expected;
    };
    const Case cases[] = {
        {"1.2", "1.2.0", S},          {"1.9", "1.10", A},           {"v2.0", "2.0", S},
        {" 2.0\n", "2.0", S},         {"1.0-beta", "1.0", A},       {"1.0", "1.0-beta", D},
        {"1.1.1w", "1.1.1", D},       {"1.1.1", "1.1.1w", A},       {"1.0a", "1.0b", A},
        {"1.0B", "1.0b", S},          {"1.0-beta.2", "1.0-beta.10", A}, {"2024.3 (45)", "45", S},
        {"1.0-beta (5)", "5", S},     {"1.0+build5", "1.0", A},     {"", "1.0", A},
        {"V1.2", "1.2", S},           {"1.0-rc1", "1.0-beta1", D},  {"1.10", "1.9", D},
        {"2.0rc1", "2.0", A},         {"1.0", "1.0.0.0", S},        {"", "", S},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
    }
    // Candidates come from the first argument only: 45 < 2024.3 numerically.
    EXPECT_EQ(compareVersions("45", "2024.3 (45)"), A);
    // A pre-release candidate does not stand for a release.
    EXPECT_NE(compareVersions("x (5-beta)", "5"), S);
}

TEST(VersionRulesTest, UpdateAvailableWorkedCases) {
    struct Case {
        std::string_view installed;
        std::optional<std::string_view> latest;
        bool allowPreRelease;
        bool expected;
    };
    const Case cases[] = {
        {"1.0", "2.0", false, true},         {"1.0", std::nullopt, false, false},  {"unknown", "2.0", false, false},
        {"1.0.0", "20240315", false, false}, {"1.2.0", "20240315", false, true},   {"1.0.0", "2.0-beta", false, false},
        {"1.0.0", "2.0-beta", true, true},   {"2.0-alpha", "2.0-beta", false, true},
        {"1.0", kUpdateAvailableSentinel, false, true},
        {kUpdateAvailableSentinel, kUpdateAvailableSentinel, false, false},
        {"1.0", "1.0", false, false},        {"0.0.0", "1.0", false, false},       {"1.0", "N/A", false, false},
        // Suspect installed versions need a plausible latest one.
        {"1.0", "20240315-101010", false, false}, {"0.1.0", "2024.1", false, false}, {"0.1.0", "0.2", false, true},
        {"1.0", "999.1", false, true},       {"1.0", "1000.1", false, false},      {"1.0.0", "1.0.1", false, true},
        {" v1.0 ", "1.1", false, true},
        // Commits have no order, even one written in digits alone; dates of that length do.
        {"15319952", "a9a8e771", false, true}, {"a9a8e771", "15319952", false, true},
        {"20240102", "20240101", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isUpdateAvailable(c.installed, c.latest, c.allowPreRelease), c.expected)
            << '"' << c.installed << "\" -> \"" << c.latest.value_or("(none)") << '"';
    }
}

// Pairs as dpkg --compare-versions orders them.
TEST(VersionRulesTest, DebianOrderIsDpkgs) {
    constexpr auto A = VersionOrder::Ascending, S = VersionOrder::Same, D = VersionOrder::Descending;
    struct Case {
        std::string_view a, b;
        VersionOrder expected;
    };
    const Case cases[] = {
        {"1.65.2", "1.65.2+deb12u1", A},     {"1.0~rc1", "1.0", A},           {"1.0~~", "1.0~", A},
        {"1:2.66-4+deb12u2+b2", "1:2.66-4+deb12u3+b1", A},                    {"1:0.1", "2.0", D},
        {"2.0", "1:0.1", A},                 {"0:1.0", "1.0", S},             {"1.0-1", "1.0-1", S},
        {"1.0", "1.0-0", S},                 {"1.0-1", "1.0-10", A},          {"1.0.1", "1.0a", D},
        {"1.0a", "1.0+", A},                 {"1.10", "1.9", D},              {"20250419~deb12u2", "20230311+deb12u1", D},
        {"2.1.12-stable-8", "2.1.12-stable-8+deb12u1", A},                    {"1.001", "1.1", S},
        {"5.2.15-2+b8", "5.2.15-2+b13", A},  {"3.0.19-1~deb12u2", "3.0.22-1~deb12u2", A},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareDebianVersions(c.a, c.b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
        const VersionOrder reverse = c.expected == A ? D : c.expected == D ? A : S;
        EXPECT_EQ(compareDebianVersions(c.b, c.a), reverse) << '"' << c.b << "\" vs \"" << c.a << '"';
    }
    // An apt package is outdated by that order (our general rules read "+deb12u1" as a
    // suffix and cannot tell); other kinds keep our rules.
    Package apt{.name = "init-system-helpers", .version = "1.65.2", .type = PackageType::AptPackage,
                .latestVersion = "1.65.2+deb12u1"};
    EXPECT_TRUE(hasPendingUpdate(apt, false));
    apt.latestVersion = "1.65.1";
    EXPECT_FALSE(hasPendingUpdate(apt, false));
    Package npm{.name = "x", .version = "1.0.0", .type = PackageType::NpmGlobal, .latestVersion = "2.0.0-beta"};
    EXPECT_FALSE(hasPendingUpdate(npm, false));
    EXPECT_TRUE(hasPendingUpdate(npm, true));
    // Clones' commits, both in digits alone, are offered as their source found them.
    for (PackageType type : {PackageType::GhExtension, PackageType::AiMarketplace, PackageType::AiSkill}) {
        Package clone{.name = "tool", .version = "15319952", .type = type, .latestVersion = "10461178"};
        EXPECT_TRUE(hasPendingUpdate(clone, false)) << rawValue(type);
        clone.latestVersion = "15319952";
        EXPECT_FALSE(hasPendingUpdate(clone, false)) << rawValue(type);
    }
}

TEST(VersionRulesTest, PreReleaseWordsAreWholeLetterRuns) {
    for (const char* text : {"1.0.0-beta.2", "2.0rc1", "3.0-Nightly"}) EXPECT_TRUE(isPreRelease(text)) << text;
    for (const char* text : {"1.0.0", "1.0.0-hotfix", "1.0-developer", "1.0-alphabetical"}) {
        EXPECT_FALSE(isPreRelease(text)) << text;
    }
}

TEST(VersionRulesTest, DisplayForm) {
    setLanguage(Language::English);
    EXPECT_EQ(displayVersion(kUpdateAvailableSentinel), "Update available");
    EXPECT_EQ(displayVersion("Version 2.1.3"), "2.1.3");
    EXPECT_EQ(displayVersion("  version 10.4 (45)"), "10.4 45");
    EXPECT_EQ(displayVersion("a1b2c3d4e5f6a7b8c9d0"), "a1b2c3d");
    EXPECT_EQ(displayVersion("20240315"), "20240315");  // a date, not a hash
    EXPECT_EQ(displayVersion("1.0.0-beta.2"), "1.0.0-beta.2");
    EXPECT_EQ(displayVersion("latest"), "latest");
    setLanguage(Language::French);
    EXPECT_EQ(displayVersion(kUpdateAvailableSentinel), "Mise à jour disponible");
    setLanguage(Language::English);
}

TEST(VersionRulesTest, HostileInputAnswersWithoutCrashing) {
    std::string dots(10000, '.');
    std::string digits(5000, '9');
    std::string nul("1.0\0beta", 8);
    std::string invalid = "\xff\xfe" "1.2\x80";
    std::string parens;
    for (int i = 0; i < 5000; ++i) parens += "(1)";
    std::string longText(100000, 'a');
    for (const std::string& text : {dots, digits, nul, invalid, parens, longText, std::string("1." + digits)}) {
        // Answers that hold whatever the text: the same order both ways round, a text the same
        // as itself, never an update to itself.
        const VersionOrder order = compareVersions(text, "1.0");
        EXPECT_EQ(compareVersions("1.0", text), order == A ? D : order == D ? A : S);
        EXPECT_EQ(compareVersions(text, text), S);
        EXPECT_FALSE(isUpdateAvailable(text, text, true));
        EXPECT_LE(displayVersion(text).size(), text.size() + 1);
    }
    EXPECT_EQ(compareVersions(digits, "1"), D);
    EXPECT_EQ(compareVersions(parens, "1"), S);
}

// Texts of digits and dots are compared where they lie, without a parse: every pair of them
// orders as the parses do, edges of the form included.
TEST(VersionRulesTest, DottedNumbersOrderAsTheirParses) {
    const std::vector<std::string> texts = {"",    "1",   "1.",  ".1",      "1..2",  "01.2", "1.2",
                                            "1.2.0", "1.10", "1.9", "0", "00", ".", "..",
                                            std::string(30, '9'), std::string(30, '9') + ".1", "9223372036854775807",
                                            "1.0a", "v1.2", "1.2-rc1"};
    for (const std::string& a : texts) {
        for (const std::string& b : texts) {
            if (a == b) continue;
            EXPECT_EQ(compareVersions(a, b), compareVersions(parseVersion(a), parseVersion(b))) << '"' << a << "\" vs \"" << b << '"';
        }
    }
}

TEST(VersionRulesTest, SortIsStableAndKeepsEveryElement) {
    std::vector<std::string> texts = {"1.10", "1.2", "v1.2", "1.2.0", "1.0-beta", "1.0", "1.1.1w", "1.1.1", ""};
    std::vector<ParsedVersion> parsed;
    for (const auto& t : texts) parsed.push_back(parseVersion(t));
    std::vector<std::string> sorted;
    for (auto i : sortedVersionOrder(parsed)) sorted.push_back(texts[i]);
    EXPECT_EQ(sorted, (std::vector<std::string>{"", "1.0-beta", "1.0", "1.1.1", "1.1.1w", "1.2", "v1.2", "1.2.0",
                                                "1.10"}));
    std::vector<std::string> reversed;
    for (auto i : sortedVersionOrder(parsed, true)) reversed.push_back(texts[i]);
    EXPECT_EQ(reversed.front(), "1.10");
    EXPECT_EQ(reversed.back(), "");
    // The equal texts keep their input order newest-first too.
    EXPECT_EQ((std::vector<std::string>{reversed[1], reversed[2], reversed[3]}),
              (std::vector<std::string>{"1.2", "v1.2", "1.2.0"}));
    // How `version sort` orders lines: CommandLineE2ETest.
}

// Real version lists of long-lived npm packages, in semver order. Releases must agree on every
// pair of neighbours; pre-release tags differ where semver orders commit hashes as text
// ("canary-83840902" after "canary-756fdd47") or digit runs as text ("beta16" before "beta2").
TEST(VersionRulesTest, AgreesWithSemverOrderOfRealPackages) {
    std::istringstream file(testing::corpusFile("versions/families.tsv"));
    std::map<std::string, std::vector<std::string>> families;
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string package, version;
        std::getline(fields, package, '\t');
        std::getline(fields, version, '\t');
        families[package].push_back(version);
    }
    ASSERT_GT(families.size(), 30u);
    // The one known difference: semver compares the first identifiers where two pre-release
    // tags of one release differ as text unless both are all digits, so "beta16" comes before
    // "beta2", "3r" after "7" and "oxide" before "oxide-insiders", where our rules read digit
    // runs as numbers. Any other pair out of order is a fault of our rules: those whose
    // identifiers are both numbers, or words without digits ("alpha" before "beta").
    // A version's release and its pre-release identifiers ("1.0.0-beta.2+x": "1.0.0", {"beta", "2"}).
    auto tagsOf = [](std::string_view version) {
        version = version.substr(0, version.find('+'));
        const std::size_t dash = version.find('-');
        if (dash == std::string_view::npos) return std::make_pair(version, std::vector<std::string_view>{});
        return std::make_pair(version.substr(0, dash), split(version.substr(dash + 1), '.'));
    };
    auto digitsIn = [](std::string_view id) {
        return std::count_if(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    auto explained = [&](const std::string& older, const std::string& newer) {
        const auto [release, a] = tagsOf(older);
        const auto [otherRelease, b] = tagsOf(newer);
        if (a.empty() || b.empty() || release != otherRelease) return false;
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            if (a[i] == b[i]) continue;
            const bool numbers = digitsIn(a[i]) == std::ssize(a[i]) && digitsIn(b[i]) == std::ssize(b[i]);
            const bool prefix = a[i].starts_with(b[i]) || b[i].starts_with(a[i]);
            return !numbers && (digitsIn(a[i]) + digitsIn(b[i]) > 0 || prefix);
        }
        return false;
    };
    std::size_t pairs = 0;
    std::vector<std::string> unexplained;
    for (const auto& [package, versions] : families) {
        std::string previousRelease;
        for (std::size_t i = 0; i < versions.size(); ++i) {
            if (i > 0) {
                ++pairs;
                if (compareVersions(versions[i - 1], versions[i]) != A && !explained(versions[i - 1], versions[i])) {
                    unexplained.push_back(package + " " + versions[i - 1] + " < " + versions[i]);
                }
            }
            if (versions[i].find_first_of("-+") != std::string::npos) continue;
            if (!previousRelease.empty() && !isPlaceholderVersion(previousRelease)) {
                EXPECT_EQ(compareVersions(previousRelease, versions[i]), A) << previousRelease << " < " << versions[i];
                EXPECT_TRUE(isUpdateAvailable(previousRelease, versions[i], false)) << previousRelease << " -> " << versions[i];
            }
            previousRelease = versions[i];
        }
    }
    EXPECT_GT(pairs, 20000u);
    unexplained.resize(std::min<std::size_t>(unexplained.size(), 20));
    EXPECT_TRUE(unexplained.empty()) << "out of order: " << join(unexplained, "; ");
}

}  // namespace
}  // namespace vt
