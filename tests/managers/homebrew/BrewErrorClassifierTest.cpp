#include "managers/homebrew/BrewErrorClassifier.hpp"

#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "BrewTestSupport.hpp"

namespace vt {
namespace {

using brewtest::corpusError;
using brewtest::fixture;
using Kind = BrewErrorType::Kind;

// The system's texts are French; the English table has its own rendering.
using BrewErrorClassifierTest = brewtest::InFrench;

struct Row {
    std::string output;
    std::string package;
    bool isCask;
    Kind kind;
    std::string message;
    std::string suggestion;
    std::optional<std::string> command;
    bool requiresUserAction;
};

TEST_F(BrewErrorClassifierTest, ClassifiesEachRowOfTheTable) {
    std::vector<Row> rows = {
        {fixture("upgrade-node-engine.stderr"), "some-cli", false, Kind::NodeVersionIncompatible,
         "Version de Node.js incompatible",
         "Ce package nécessite Node.js >=20.11.0, mais vous avez v18.19.1. Utilisez nvm pour changer de version :",
         "nvm install 20", true},
        {fixture("upgrade-conflicting-formulae.stderr"), "libressl", false, Kind::ConflictingPackage,
         "Conflit avec d'autres packages : openssl@3", "Désinstallez les packages en conflit ou utilisez --force",
         std::nullopt, true},
        {fixture("upgrade-conflicts-with.stderr"), "macvim", true, Kind::ConflictingPackage,
         "Conflit avec d'autres packages : macvim-app, vim", "Désinstallez les packages en conflit ou utilisez --force",
         std::nullopt, true},
        {fixture("upgrade-link-failure.stderr"), "node", false, Kind::LinkFailure,
         "Impossible de créer les liens symboliques pour node",
         "Exécutez la commande suivante dans le Terminal pour résoudre le conflit :", "brew link --overwrite node",
         true},
        {fixture("upgrade-cask-app-source-missing.stderr"), "discord", true, Kind::CaskSourceMissing,
         "discord est dans un état Homebrew incomplet",
         "L'application source est absente. Réinstallez le cask pour reconstruire un état propre :",
         "brew reinstall --cask discord", true},
        {fixture("upgrade-checksum-mismatch.stderr"), "iterm2", true, Kind::ChecksumMismatch,
         "Le téléchargement Homebrew de iterm2 ne correspond pas au checksum attendu",
         "Van Treel peut supprimer le fichier Homebrew en cache et relancer le téléchargement.", std::nullopt, false},
        {fixture("upgrade-sudo-terminal.stderr"), "microsoft-teams", true, Kind::SudoRequired,
         "microsoft-teams nécessite un terminal interactif",
         "Ce cask nécessite une saisie de mot de passe interactive. Exécutez la commande dans le Terminal :",
         "brew upgrade --cask microsoft-teams", true},
        {fixture("upgrade-github-403.stderr"), "gh", false, Kind::GithubRateLimited,
         "Limite de requêtes GitHub atteinte",
         "Attendez quelques minutes puis réessayez, ou configurez un token GitHub :",
         "export HOMEBREW_GITHUB_API_TOKEN=your_token", true},
        {fixture("upgrade-permission-denied.stderr"), "qt", false, Kind::PermissionDenied, "Permission refusée",
         "Homebrew ne peut pas écrire dans l'un de ses dossiers ; vérifiez à qui il appartient", std::nullopt, false},
        {fixture("upgrade-download-failure.stderr"), "wget", false, Kind::DownloadFailed, "Échec du téléchargement",
         "Vérifiez votre connexion internet et réessayez", std::nullopt, false},
        {fixture("upgrade-running-as-root.stderr"), "wget", false, Kind::SudoRequired,
         "Homebrew ne peut pas être exécuté en root.",
         "Relancez cette mise à jour depuis le Terminal pour laisser Homebrew demander l'autorisation macOS depuis "
         "votre session utilisateur.",
         "brew upgrade wget", true},
    };
    // Homebrew's own messages, as its tests assert them.
    rows.push_back({corpusError("Error: No available formula with the name"), "foo", false, Kind::NotFound,
                    "Package non trouvé dans Homebrew", "Vérifiez le nom du package ou mettez à jour Homebrew :",
                    "brew update", true});
    rows.push_back({corpusError("Error: Download failed"), "foo", false, Kind::DownloadFailed, "Échec du téléchargement",
                    "Vérifiez votre connexion internet et réessayez", std::nullopt, false});
    const std::string pinned = corpusError("Error: foo is pinned. You must unpin it to reinstall");
    rows.push_back({pinned, "foo", false, Kind::Unknown, pinned, "", std::nullopt, false});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        ParsedBrewError error = BrewErrorClassifier::classify(row.output, row.package, row.isCask);
        EXPECT_EQ(error.kind(), row.kind);
        EXPECT_EQ(error.userMessage(), row.message);
        EXPECT_EQ(error.suggestion(), row.suggestion);
        EXPECT_EQ(error.command(), row.command);
        EXPECT_EQ(error.requiresUserAction(), row.requiresUserAction);
    }
}

// The checksum's file and the conflicting names are read by the upgrade's repairs (their tests).
TEST_F(BrewErrorClassifierTest, NamesTheFolderHomebrewCouldNotWriteAndWhatIsAlreadyInstalled) {
    EXPECT_EQ(BrewErrorClassifier::permissionPath(fixture("upgrade-permission-denied.stderr")),
              "/opt/homebrew/Frameworks");
    EXPECT_EQ(BrewErrorClassifier::permissionPath(fixture("upgrade-directory-not-empty.stderr")),
              "/opt/homebrew/Caskroom/docker/4.30.0");
    EXPECT_EQ(BrewErrorClassifier::classify(corpusError("Warning: foo 1.0 already installed"), "foo", false).kind(),
              Kind::AlreadyInstalled);
}

TEST_F(BrewErrorClassifierTest, HostileOutputGivesAnAnswer) {
    // Half-open patterns repeated: a backtracking engine without a limit would take forever.
    std::string hostile;
    for (int i = 0; i < 20000; ++i) hostile += "required: { node: 'x' } conflicts with: Error: a b c ";
    hostile += std::string(1 << 20, '\xff');
    ParsedBrewError error = BrewErrorClassifier::classify(hostile, "x", false);
    EXPECT_LE(error.userMessage().size(), 4096u);

    ParsedBrewError empty = BrewErrorClassifier::classify("", "x", true);
    EXPECT_EQ(empty.kind(), Kind::Unknown);
}

}  // namespace
}  // namespace vt
