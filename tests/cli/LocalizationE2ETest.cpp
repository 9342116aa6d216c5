// What a person reads is English under an English or C locale, with ASCII punctuation under
// C, and French, whole, under a French locale: the same commands run under both, and each
// output is searched for the other language. The lines --verbose streams are read too.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FakeTools.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

// Under one locale, in a home of its own (the sources' saved messages stay in the language
// they were made in): the lines --verbose streams (the log file's lines) of a first scan
// with fake tools, and everything the commands print, standard output and error.
struct Outputs {
    std::string verbose, text;
};

Outputs outputsUnder(const std::string& locale) {
    testing::TempDir home{"vt-l10n-e2e"};
    testing::showOnly(home.path(), {"ShowHomebrew", "ShowCasks", "ShowCargo"});
    testing::writeFakeBrew(home, {{"testball", "0.0.1", "0.1"}, {"local-caffeine", "1.2.2", "1.2.3", true}});
    testing::writeFakeCargo(home, "ripgrep", "13.0.0");
    auto run = [&](const std::vector<std::string>& arguments) {
        return runVantreel({arguments, home.path(),
                            {{"LC_ALL", locale}, {"LANG", locale}, {"VANTREEL_ENDPOINT_CRATES", "http://127.0.0.1:9"}}});
    };
    Outputs outputs{.verbose = run({"--verbose", "--accept-terms", "scan"}).standardError};
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--accept-terms", "scan"}, {"list", "--all"}, {"managers"}, {"ignore", "brew:testball"}, {"ignored"},
             {"settings", "list"}, {"activity"}, {"update", "--all", "--dry-run"}, {"help"}, {"help", "scan"},
             {"help", "snooze"}, {"version", "compare", "--help"}, {"snooze", "cask:local-caffeine"}, {"scna"},
             {"list", "--only", "brw"}, {"list", "--bogus"}, {"outdated-count", "--exit-code"}}) {
        ShellCommandResult result = run(arguments);
        outputs.text += result.standardOutput + result.standardError;
    }
    return outputs;
}

// The activity reads in the language of whoever reads it, whichever it was made in.
TEST(LocalizationE2ETest, ActivityMadeUnderOneLocaleReadsInTheOther) {
    testing::TempDir home{"vt-l10n-e2e"};
    testing::showOnly(home.path(), {"ShowCargo"});
    testing::writeFakeCargo(home, "ripgrep", "13.0.0");
    auto run = [&](const std::string& locale, const std::vector<std::string>& arguments) {
        return runVantreel({arguments, home.path(),
                            {{"LC_ALL", locale}, {"LANG", locale}, {"VANTREEL_ENDPOINT_CRATES", "http://127.0.0.1:9"}}});
    };
    ASSERT_EQ(run("fr_FR.UTF-8", {"--accept-terms", "scan"}).exitCode, 0);
    EXPECT_NE(run("fr_FR.UTF-8", {"activity"}).standardOutput.find("Scan terminé — 1 élément analysé"), std::string::npos);
    const std::string english = run("C", {"activity"}).standardOutput;
    EXPECT_NE(english.find("Scan completed - 1 item analyzed"), std::string::npos) << english;
}

TEST(LocalizationE2ETest, EnglishUnderCAndFrenchWholeUnderAFrenchLocaleLogLinesToo) {
    const Outputs english = outputsUnder("C");
    for (unsigned char c : english.text + english.verbose) {
        ASSERT_LT(c, 0x80) << "not ASCII under the C locale:\n" << english.text << english.verbose;
    }
    for (const char* french : {"mise a jour", "mises", "paquet", "Erreur", "disponible", "element", "termine",
                               "Utilisation", "Commandes", "Exemple", " de ", " les ", " pour ", "source en"}) {
        EXPECT_EQ(english.text.find(french), std::string::npos) << french << " in:\n" << english.text;
    }
    EXPECT_NE(english.text.find("2 updates available - "), std::string::npos) << english.text;
    for (const char* expected : {"Inventory of ", "Whole scan completed successfully", "Scan resources: "}) {
        EXPECT_NE(english.verbose.find(expected), std::string::npos) << expected << " not in:\n" << english.verbose;
    }
    for (const char* french : {"Inventaire", "terminé", "Scan global", "Vérification", "paquet", " des "}) {
        EXPECT_EQ(english.verbose.find(french), std::string::npos) << french << " in:\n" << english.verbose;
    }

    const Outputs french = outputsUnder("fr_FR.UTF-8");
    for (const char* englishText : {" available", "Usage:", "Commands:", "Options:", "Example", "Show ", "Print ",
                                    " items", "scanned", " failed", " the ", " with ", "Nothing", "unknown",
                                    "Did you mean", "not expected", "is required", "latest versions"}) {
        EXPECT_EQ(french.text.find(englishText), std::string::npos) << englishText << " in:\n" << french.text;
    }
    for (const char* expected : {"2 mises à jour disponibles · ", "Utilisation : vantreel", "Vouliez-vous dire « scan » ?",
                                 "dernières versions inconnues", "source inconnue « brw »"}) {
        EXPECT_NE(french.text.find(expected), std::string::npos) << expected << " not in:\n" << french.text;
    }
    // Numbers with the French decimal mark.
    const std::size_t duration = french.text.find("scanné en ");
    ASSERT_NE(duration, std::string::npos) << french.text;
    const std::string seconds = french.text.substr(duration + std::string("scanné en ").size(), 8);
    EXPECT_NE(seconds.find(','), std::string::npos) << seconds;
    EXPECT_EQ(seconds.find('.'), std::string::npos) << seconds;
    for (const char* expected : {"Inventaire ", "Scan global terminé avec succès", "Ressources du scan : "}) {
        EXPECT_NE(french.verbose.find(expected), std::string::npos) << expected << " not in:\n" << french.verbose;
    }
    // Our own lines only: a tool's output or a system error quoted in a line stays as it came.
    for (const char* englishText : {"Inventory of", "Update check of", "Whole scan", "Core scan", "Scan resources",
                                    "Scan cache", "Extended scan", "scanner statuses", "Scan requested", "Scan phase",
                                    "finalization", "executable not found", " skipped", " completed", " done",
                                    "Starting", "Cannot ", " failed: "}) {
        EXPECT_EQ(french.verbose.find(englishText), std::string::npos) << englishText << " in:\n" << french.verbose;
    }
}

}  // namespace
}  // namespace vt
