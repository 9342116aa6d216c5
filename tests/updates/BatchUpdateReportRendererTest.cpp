#include "updates/BatchUpdateReportRenderer.hpp"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "base/Localization.hpp"

namespace vt {
namespace {

// A fixed local time: the report prints dates in the user's zone.
class BatchUpdateReportRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    // 2026-12-07 03:15:09 UTC
    Clock::TimePoint date = Clock::TimePoint{} + std::chrono::seconds(1796613309);
};

PackageUpdateResult result(std::string name, bool success, double duration) {
    return {.package = {.name = std::move(name), .type = PackageType::NpmGlobal}, .success = success, .duration = duration};
}

// In the user's language, whole: here French. (The English summary: UpdateAllE2ETest.)
TEST_F(BatchUpdateReportRendererTest, FailuresFirstThenByNameWithTrimmedBlocksAndTheCommand) {
    setLanguage(Language::French);
    struct English {
        ~English() { setLanguage(Language::English); }
    } restore;
    BatchUpdateResult batch{.startTime = date, .endTime = date + std::chrono::seconds(75)};
    PackageUpdateResult zed = result("zed", true, 12.345);
    zed.source = "GitHub Releases";
    zed.error = "   \n ";  // only blanks: no block
    PackageUpdateResult broken = result("typescript", false, 0.04);
    broken.error = "  Command failed with exit code 1: E404\n";
    broken.suggestion = " Vérifiez le registre. ";
    broken.command = "npm install -g typescript@5.4.0";
    batch.results = {zed, result("Awk", true, 1), broken};
    EXPECT_EQ(BatchUpdateReportRenderer::render(batch, "3 éléments", date),
              "# Rapport de mise à jour - Van Treel (3 éléments)\n"
              "Date: 2026-12-07 03:15:09\n"
              "\n"
              "## Résumé\n"
              "- Éléments traités: 3\n"
              "- Réussis: 2\n"
              "- Échoués: 1\n"
              "- Durée totale: 75.0s\n"
              "\n"
              "## Détails\n"
              "### [ÉCHEC] typescript\n"
              "- Source: npm (global)\n"
              "- Durée: 0.0s\n"
              "**Erreur**\n\n```\nCommand failed with exit code 1: E404\n```\n"
              "**Suggestion**\n\n```\nVérifiez le registre.\n```\n"
              "- Commande: `npm install -g typescript@5.4.0`\n"
              "\n"
              "### [OK] Awk\n"
              "- Source: npm (global)\n"
              "- Durée: 1.0s\n"
              "\n"
              "### [OK] zed\n"
              "- Source: GitHub Releases\n"
              "- Durée: 12.3s\n"
              "\n");
    EXPECT_EQ(BatchUpdateReportRenderer::proposedFileName(date), "vantreel-update-report-2026-12-07_03-15-09.md");
}

}  // namespace
}  // namespace vt
