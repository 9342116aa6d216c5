#include "updates/DirectDownloadError.hpp"

#include <utility>

#include "base/Localization.hpp"

namespace vt {

DirectDownloadError::DirectDownloadError(Kind kind, int statusCode, std::string message, const std::string& description)
    : std::runtime_error(description), kind_(kind), statusCode_(statusCode), message_(std::move(message)) {}

DirectDownloadError DirectDownloadError::httpError(int statusCode) {
    std::string text = "Erreur HTTP ";
    text += std::to_string(statusCode);
    text += " lors de la récupération des métadonnées.";
    return DirectDownloadError(Kind::HttpError, statusCode, {}, text);
}

DirectDownloadError DirectDownloadError::installFailed(std::string message) {
    std::string text = "L'installation a échoué: ";
    text += message;
    return DirectDownloadError(Kind::InstallFailed, 0, std::move(message), text);
}

DirectDownloadError DirectDownloadError::invalidURL() {
    return DirectDownloadError(Kind::InvalidURL, 0, {}, "URL de téléchargement invalide.");
}

DirectDownloadError DirectDownloadError::releaseNotFound() {
    return DirectDownloadError(Kind::ReleaseNotFound, 0, {}, "Aucune version disponible n'a été trouvée pour ce produit.");
}

DirectDownloadError DirectDownloadError::downloadNotFound() {
    return DirectDownloadError(Kind::DownloadNotFound, 0, {}, "Impossible de localiser le téléchargement macOS approprié.");
}

DirectDownloadError DirectDownloadError::unsupportedFileType() {
    return DirectDownloadError(Kind::UnsupportedFileType, 0, {},
                               "Type de fichier non pris en charge pour l'installation directe.");
}

DirectDownloadError DirectDownloadError::checksumMismatch() {
    return DirectDownloadError(Kind::ChecksumMismatch, 0, {},
                               "Échec de la vérification de l'intégrité du fichier téléchargé.");
}

DirectDownloadError DirectDownloadError::noCompatibleFile(const std::string& architecture, const std::string& product) {
    std::string text = "Aucun fichier compatible ";
    text += architecture;
    text += " disponible pour ";
    text += product;
    return DirectDownloadError(Kind::NoCompatibleFile, 0, {}, text);
}

DirectDownloadError DirectDownloadError::notNewer(std::string message) {
    std::string text = message;
    return DirectDownloadError(Kind::NotNewer, 0, std::move(message), text);
}

DirectDownloadError DirectDownloadError::appRunning(const std::string& appName) {
    std::string text = localized("update.refused_running", {appName});
    return DirectDownloadError(Kind::AppRunning, 0, text, text);
}

}  // namespace vt
