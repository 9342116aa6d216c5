#include "managers/javascript/NpmError.hpp"

namespace vt {

std::string NpmError::installCommand(const std::string& name, const std::string& tag) {
    return "npm install -g " + name + "@" + tag;
}

NpmError NpmError::notFound() { return NpmError(Kind::NotFound, "NPM not found"); }

NpmError NpmError::invalidPackageName(const std::string& name) {
    return NpmError(Kind::InvalidPackageName, "Invalid npm package name: \"" + name + "\"");
}

NpmError NpmError::timeout(const std::string& name, int seconds, const std::string& tag) {
    return NpmError(Kind::Timeout, "La mise a jour npm de " + name + " a depasse le delai maximal de " +
                                       std::to_string(seconds) + " secondes.\nCommande tentee: " +
                                       installCommand(name, tag) +
                                       "\nAlternative: relancez cette commande dans le Terminal pour laisser npm "
                                       "terminer sans bloquer le batch Van Treel, puis relancez le scan.");
}

NpmError NpmError::nativePackageMissing(const std::string& name, const std::string& nativePackage,
                                        const std::string& tag) {
    return NpmError(Kind::NativePackageMissing,
                    "Le paquet npm " + name +
                        " ne peut pas etre mis a jour automatiquement: son script postinstall cherche le paquet natif " +
                        nativePackage + ", mais npm ne l'a pas installe pour macOS Apple Silicon.\nCommande tentee: " +
                        installCommand(name, tag) +
                        "\nAlternative: verifiez que les dependances optionnelles npm sont activees (`npm config get "
                        "optional` doit valoir true), puis relancez la commande dans le Terminal. Si le paquet natif "
                        "n'existe pas sur npm, il faut attendre une publication corrigee.");
}

NpmError NpmError::verificationFailed(const std::string& name, const std::optional<std::string>& installedVersion,
                                      const std::string& expectedVersion, const std::string& tag) {
    const Kind kind = installedVersion ? Kind::WrongVersionAfterUpdate : Kind::NotInstalledAfterUpdate;
    std::string text = installedVersion ? "npm a termine sans installer la version cible."
                                        : "npm list -g n'a pas retrouve le paquet apres l'installation.";
    text += "\nPaquet: " + name;
    text += "\nVersion installee apres commande: " + installedVersion.value_or("inconnue");
    text += "\nVersion attendue: " + expectedVersion;
    text += "\nCommande tentee: " + installCommand(name, tag);
    text += "\nAlternative: relancez la commande dans le Terminal pour voir les erreurs npm completes, puis relancez "
            "le scan Van Treel.";
    return NpmError(kind, text);
}

}  // namespace vt
