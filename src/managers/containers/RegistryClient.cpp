#include "managers/containers/RegistryClient.hpp"

#include <fstream>
#include <sstream>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "system/ContentDigest.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

// A credentials file is a few kilobytes; a larger one is not read.
constexpr std::size_t kMaxCredentialsFileBytes = 1 << 20;

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    std::string text(kMaxCredentialsFileBytes + 1, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto length = static_cast<std::size_t>(std::max<std::streamsize>(stream.gcount(), 0));
    if (length > kMaxCredentialsFileBytes) return std::nullopt;
    text.resize(length);
    return text;
}

// "https://index.docker.io/v1/", "ghcr.io", "http://host:5000/v2/" all name a host.
std::string normalizedKey(std::string_view key) {
    std::string_view text = trimView(key);
    for (std::string_view scheme : {"https://", "http://"}) {
        if (text.starts_with(scheme)) text.remove_prefix(scheme.size());
    }
    text = text.substr(0, text.find('/'));
    std::string host = toLower(text);
    if (host == "index.docker.io" || host == "registry-1.docker.io" || host == "docker.io") return "docker.io";
    return host;
}

std::string percentEncoded(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 15];
        }
    }
    return encoded;
}

// Origins our requests may go to with a secret: https anywhere, http on loopback only.
bool mayCarrySecrets(std::string_view url) {
    if (startsWith(url, "https://")) return true;
    if (!startsWith(url, "http://")) return false;
    std::string_view authority = url.substr(7);
    authority = authority.substr(0, authority.find('/'));
    return authority.starts_with("127.") || authority.starts_with("localhost") || authority.starts_with("[::1]");
}

std::string originOf(std::string_view url) {
    const std::size_t start = url.find("://");
    if (start == std::string_view::npos) return {};
    return std::string(url.substr(0, url.find('/', start + 3)));
}

}  // namespace

RegistryCredentials RegistryCredentials::load(const std::string& home) {
    std::vector<std::string> files;
    if (auto file = paths::environmentValue("REGISTRY_AUTH_FILE"); file && !file->empty()) files.push_back(*file);
    if (auto runtime = paths::environmentValue("XDG_RUNTIME_DIR"); runtime && !runtime->empty()) {
        files.push_back(*runtime + "/containers/auth.json");
    }
    const auto config = paths::environmentValue("XDG_CONFIG_HOME");
    files.push_back((config && !config->empty() ? *config : home + "/.config") + "/containers/auth.json");
    const auto docker = paths::environmentValue("DOCKER_CONFIG");
    files.push_back((docker && !docker->empty() ? *docker : home + "/.docker") + "/config.json");
    return fromFiles(files);
}

RegistryCredentials RegistryCredentials::fromFiles(const std::vector<std::string>& files) {
    RegistryCredentials credentials;
    for (const std::string& file : files) {
        std::optional<std::string> text = readSmallFile(file);
        if (!text) continue;
        std::optional<Json> document = parseJson(*text);
        if (!document || !document->is_object() || !document->contains("auths")) continue;
        const Json& auths = (*document)["auths"];
        if (!auths.is_object()) continue;
        for (const auto& [key, entry] : auths.items()) {
            if (!entry.is_object()) continue;
            std::optional<std::string> auth = stringField(entry, "auth");
            // The stored value goes into a header: only the base64 alphabet may.
            if (!auth || auth->empty() || auth->find_first_not_of(
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") != std::string::npos) {
                continue;
            }
            credentials.authByKey_.emplace(normalizedKey(key), *auth);
        }
    }
    return credentials;
}

std::optional<std::string> RegistryCredentials::basicAuthorization(const std::string& key) const {
    auto found = authByKey_.find(normalizedKey(key));
    if (found == authByKey_.end()) return std::nullopt;
    return "Basic " + found->second;
}

RegistryClient::RegistryClient(NetworkClient& network, RegistryCredentials credentials, std::string logCategory)
    : network_(network), credentials_(std::move(credentials)), log_(std::move(logCategory)) {}

std::map<std::string, std::string> RegistryClient::parseChallenge(std::string_view header) {
    std::map<std::string, std::string> fields;
    std::string_view text = trimView(header);
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) return fields;
    fields["scheme"] = toLower(text.substr(0, space));
    text.remove_prefix(space + 1);
    while (!text.empty()) {
        text = trimView(text);
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) break;
        std::string name = toLower(trimView(text.substr(0, equals)));
        text.remove_prefix(equals + 1);
        std::string value;
        if (!text.empty() && text.front() == '"') {
            const std::size_t close = text.find('"', 1);
            if (close == std::string_view::npos) break;
            value = std::string(text.substr(1, close - 1));
            text.remove_prefix(close + 1);
        } else {
            const std::size_t comma = text.find(',');
            value = trim(text.substr(0, comma));
            text.remove_prefix(comma == std::string_view::npos ? text.size() : comma);
        }
        fields[name] = value;
        text = trimView(text);
        if (!text.empty() && text.front() == ',') text.remove_prefix(1);
    }
    return fields;
}

std::optional<std::string> RegistryClient::nextPage(std::string_view link, const std::string& apiBase) {
    const std::size_t open = link.find('<');
    const std::size_t close = link.find('>', open == std::string_view::npos ? 0 : open);
    if (open == std::string_view::npos || close == std::string_view::npos) return std::nullopt;
    if (!contains(toLower(link.substr(close)), "rel=\"next\"")) return std::nullopt;
    std::string target(link.substr(open + 1, close - open - 1));
    if (startsWith(target, "/")) return originOf(apiBase) + target;
    if (originOf(target) != originOf(apiBase)) return std::nullopt;
    return target;
}

std::optional<std::string> RegistryClient::token(const RegistryRepository& repository, std::string_view challenge,
                                                 std::stop_token stop) {
    std::map<std::string, std::string> fields = parseChallenge(challenge);
    const std::optional<std::string> basic = credentials_.basicAuthorization(repository.credentialsKey);
    if (fields["scheme"] == "basic") return basic;
    if (fields["scheme"] != "bearer" || fields["realm"].empty() || !mayCarrySecrets(fields["realm"])) {
        return std::nullopt;
    }
    std::string url = fields["realm"];
    url += url.find('?') == std::string::npos ? "?" : "&";
    url += "scope=" + percentEncoded("repository:" + repository.repository + ":pull");
    if (!fields["service"].empty()) url += "&service=" + percentEncoded(fields["service"]);
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = kTimeLimitSeconds;
    request.headers.set("Accept", "application/json");
    if (basic) request.headers.set("Authorization", *basic);
    HttpResponse response = network_.send(request, stop);
    if (!response.isSuccess()) {
        log_.debug(
            localized("log.containers.token_refused", {repository.repository, std::to_string(response.statusCode)}));
        return std::nullopt;
    }
    std::optional<Json> document = parseJson(response.body);
    if (!document || !document->is_object()) return std::nullopt;
    std::optional<std::string> value = stringField(*document, "token");
    if (!value || value->empty()) value = stringField(*document, "access_token");
    if (!value || value->empty() || value->find_first_of("\r\n") != std::string::npos) return std::nullopt;
    return "Bearer " + *value;
}

HttpResponse RegistryClient::send(const RegistryRepository& repository, HttpRequest request, std::stop_token stop) {
    const std::string key = repository.apiBase + "|" + repository.repository;
    {
        std::scoped_lock lock(mutex_);
        if (auto found = authorizationByRepository_.find(key); found != authorizationByRepository_.end()) {
            request.headers.set("Authorization", found->second);
        }
    }
    request.timeoutSeconds = kTimeLimitSeconds;
    // A redirect to blob storage must not carry our token along.
    request.maxRedirects = 0;
    HttpResponse response = network_.send(request, stop);
    if (response.statusCode != 401 || request.headers.contains("Authorization")) return response;
    const std::optional<std::string> challenge = response.header("WWW-Authenticate");
    if (!challenge || !mayCarrySecrets(repository.apiBase)) return response;
    const std::optional<std::string> authorization = token(repository, *challenge, stop);
    if (!authorization) return response;
    {
        std::scoped_lock lock(mutex_);
        authorizationByRepository_[key] = *authorization;
    }
    request.headers.set("Authorization", *authorization);
    return network_.send(request, stop);
}

std::optional<std::string> RegistryClient::manifestDigest(const RegistryRepository& repository,
                                                          std::string_view reference, std::stop_token stop) {
    HttpRequest request;
    request.method = HttpMethod::Head;
    request.url = repository.apiBase + "/v2/" + repository.repository + "/manifests/" + std::string(reference);
    request.headers.set("Accept", kManifestAccept);
    try {
        HttpResponse response = send(repository, std::move(request), stop);
        if (!response.isSuccess()) {
            log_.debug(
                localized("log.command_error", {repository.repository + ":" + std::string(reference),
                                                localized("log.http_status", {std::to_string(response.statusCode)})}));
            return std::nullopt;
        }
        std::optional<std::string> digest = response.header("Docker-Content-Digest");
        if (digest && !trimView(*digest).empty()) return trim(*digest);
        // The header is optional in the API: a manifest's digest is that of its bytes.
        HttpRequest get;
        get.url = repository.apiBase + "/v2/" + repository.repository + "/manifests/" + std::string(reference);
        get.headers.set("Accept", kManifestAccept);
        get.maxBodyBytes = kMaxManifestBytes;
        HttpResponse body = send(repository, std::move(get), stop);
        if (!body.isSuccess() || body.body.empty()) return std::nullopt;
        return sha256Digest(body.body);
    } catch (const NetworkError& error) {
        if (stop.stop_requested()) throw CancellationError();
        unreachable_ = true;
        log_.debug(localized("log.command_error", {repository.apiBase, error.description()}));
        return std::nullopt;
    }
}

std::vector<std::string> RegistryClient::tags(const RegistryRepository& repository, std::stop_token stop) {
    std::vector<std::string> tags;
    std::optional<std::string> url = repository.apiBase + "/v2/" + repository.repository + "/tags/list?n=1000";
    for (int page = 0; url && page < kMaxTagPages; ++page) {
        HttpRequest request;
        request.url = *url;
        request.headers.set("Accept", "application/json");
        try {
            HttpResponse response = send(repository, std::move(request), stop);
            if (!response.isSuccess()) break;
            std::optional<Json> document = parseJson(response.body);
            if (!document || !document->is_object() || !(*document)["tags"].is_array()) break;
            for (const Json& tag : (*document)["tags"]) {
                if (tag.is_string()) tags.push_back(tag.get<std::string>());
            }
            const std::optional<std::string> link = response.header("Link");
            url = link ? nextPage(*link, repository.apiBase) : std::nullopt;
        } catch (const NetworkError& error) {
            if (stop.stop_requested()) throw CancellationError();
            unreachable_ = true;
            log_.debug(localized("log.command_error", {repository.apiBase, error.description()}));
            break;
        }
    }
    return tags;
}

}  // namespace vt
