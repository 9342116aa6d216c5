#include "updates/DirectDownloadError.hpp"

#include <utility>

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

DirectDownloadError DirectDownloadError::of(Kind kind) {
    switch (kind) {
        case Kind::InvalidURL: return DirectDownloadError(kind, 0, {}, "URL de téléchargement invalide.");
        case Kind::ReleaseNotFound:
            return DirectDownloadError(kind, 0, {}, "Aucune version disponible n'a été trouvée pour ce produit.");
        case Kind::DownloadNotFound:
            return DirectDownloadError(kind, 0, {}, "Impossible de localiser le téléchargement macOS approprié.");
        case Kind::UnsupportedFileType:
            return DirectDownloadError(kind, 0, {}, "Type de fichier non pris en charge pour l'installation directe.");
        case Kind::ChecksumMismatch:
            return DirectDownloadError(kind, 0, {}, "Échec de la vérification de l'intégrité du fichier téléchargé.");
        case Kind::AuthorizationRequired:
            return DirectDownloadError(kind, 0, {},
                                       "Des privilèges administrateur sont requis pour installer cette application.");
        case Kind::HttpError: return httpError(0);
        case Kind::InstallFailed: break;
    }
    return installFailed({});
}

}  // namespace vt
