#include "sources/rules/RuleDiscovery.hpp"

#include <algorithm>
#include <cmath>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "base/Uuid.hpp"
#include "model/VersionRules.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "system/CommandRunning.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("RuleDiscovery");
    return log;
}

bool isRepositoryPart(std::string_view part) {
    if (part.empty() || part == "." || part == "..") return false;
    return std::all_of(part.begin(), part.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

bool isCaskToken(std::string_view token) {
    return !token.empty() && std::all_of(token.begin(), token.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
               c == '-';
    });
}

bool isWebAddress(std::string_view text) {
    std::string lower = toLower(text);
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (startsWith(lower, scheme) && lower.size() > scheme.size() && lower[scheme.size()] != '/') return true;
    }
    return false;
}

std::string percentEncode(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::optional<std::string> textOf(const Json& json, const char* key) {
    if (!json.is_object()) return std::nullopt;
    auto found = json.find(key);
    if (found == json.end() || !found->is_string() || found->get<std::string>().empty()) return std::nullopt;
    return found->get<std::string>();
}

VerifiedRuleDraft failed(VerifiedRuleDraft draft, const char* key) {
    draft.status = RuleVerifyStatus::Failed;
    draft.message = key;
    return draft;
}

VerifiedRuleDraft compared(VerifiedRuleDraft draft, std::string remote, const std::string& installed) {
    const bool newer = isUpdateAvailable(installed, std::optional<std::string_view>(remote), true);
    draft.remoteVersion = std::move(remote);
    draft.status = newer ? RuleVerifyStatus::Ok : RuleVerifyStatus::UpToDate;
    draft.message = newer ? "rule_discovery.verify.update_available" : "rule_discovery.verify.up_to_date";
    return draft;
}

RuleDiscoveryCandidate newCandidate(RuleCandidateSourceType type, RuleCandidateProvenance provenance, double score) {
    RuleDiscoveryCandidate candidate;
    candidate.id = Uuid::random().toString();
    candidate.sourceType = type;
    candidate.provenance = provenance;
    candidate.heuristicScore = score;
    return candidate;
}

// The value of the first sparkle:version="…" attribute of an appcast's text.
std::optional<std::string> firstSparkleVersion(std::string_view text) {
    std::size_t at = 0;
    while ((at = text.find("sparkle:version", at)) != std::string_view::npos) {
        at += 15;
        std::size_t cursor = at;
        while (cursor < text.size() && (text[cursor] == ' ' || text[cursor] == '\t')) ++cursor;
        if (cursor >= text.size() || text[cursor] != '=') continue;
        ++cursor;
        while (cursor < text.size() && (text[cursor] == ' ' || text[cursor] == '\t')) ++cursor;
        if (cursor >= text.size() || text[cursor] != '"') continue;
        std::size_t end = text.find('"', cursor + 1);
        if (end == std::string_view::npos) return std::nullopt;
        std::string value = trim(text.substr(cursor + 1, end - cursor - 1));
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(RuleCandidateSourceType type) {
    switch (type) {
        case RuleCandidateSourceType::GitHub: return "github";
        case RuleCandidateSourceType::Sparkle: return "sparkle";
        case RuleCandidateSourceType::HomebrewCask: return "homebrewCask";
        case RuleCandidateSourceType::Manual: return "manual";
    }
    return "manual";
}

std::string_view rawValue(RuleVerifyStatus status) {
    switch (status) {
        case RuleVerifyStatus::NotRun: return "notRun";
        case RuleVerifyStatus::Ok: return "ok";
        case RuleVerifyStatus::UpToDate: return "upToDate";
        case RuleVerifyStatus::Failed: return "failed";
        case RuleVerifyStatus::Skipped: return "skipped";
    }
    return "notRun";
}

std::string_view messageKey(ManualRuleSourceParseError error) {
    switch (error) {
        case ManualRuleSourceParseError::EmptyInput: return "rule_discovery.manual.error.empty";
        case ManualRuleSourceParseError::InvalidGitHub: return "rule_discovery.manual.error.invalid_github";
        case ManualRuleSourceParseError::InvalidSparkleURL: return "rule_discovery.manual.error.invalid_sparkle";
        case ManualRuleSourceParseError::InvalidHomebrewCask: return "rule_discovery.manual.error.invalid_homebrew";
    }
    return "rule_discovery.manual.error.empty";
}

RuleDiscoveryService::RuleDiscoveryService(Options options) : options_(std::move(options)) {}

ManualRuleParse RuleDiscoveryService::parseManualInput(RuleCandidateSourceType type, std::string_view input) {
    ManualRuleParse result;
    const std::string text = trim(input);
    if (text.empty() && type != RuleCandidateSourceType::Manual) {
        result.error = ManualRuleSourceParseError::EmptyInput;
        return result;
    }
    RuleDiscoveryCandidate candidate = newCandidate(type, RuleCandidateProvenance::UserSubmitted, 1.0);
    candidate.detail = "rule_discovery.manual.user_submitted";
    switch (type) {
        case RuleCandidateSourceType::GitHub: {
            std::string path = text;
            // "owner/repo", or the repository's address on the web host, with or without the scheme.
            const std::string host = toLower(Endpoints::host(Service::GitHubWeb));
            for (std::string prefix : {std::string("https://"), std::string("http://")}) {
                if (startsWith(toLower(path), prefix)) path = path.substr(prefix.size());
            }
            if (startsWith(toLower(path), "www.")) path = path.substr(4);
            if (startsWith(toLower(path), host + "/")) {
                path = path.substr(host.size() + 1);
            } else if (path.find('.') != std::string::npos && path.find('/') != std::string::npos &&
                       path.find('.') < path.find('/')) {
                result.error = ManualRuleSourceParseError::InvalidGitHub;  // another host
                return result;
            }
            while (!path.empty() && path.back() == '/') path.pop_back();
            if (path.size() > 4 && toLower(path.substr(path.size() - 4)) == ".git") path.resize(path.size() - 4);
            const std::size_t slash = path.find('/');
            if (slash == std::string::npos || path.find('/', slash + 1) != std::string::npos ||
                !isRepositoryPart(path.substr(0, slash)) || !isRepositoryPart(path.substr(slash + 1))) {
                result.error = ManualRuleSourceParseError::InvalidGitHub;
                return result;
            }
            candidate.githubOwner = path.substr(0, slash);
            candidate.githubRepo = path.substr(slash + 1);
            candidate.title = path;
            break;
        }
        case RuleCandidateSourceType::Sparkle:
            if (!isWebAddress(text) || text.find_first_of(" \t\r\n") != std::string::npos) {
                result.error = ManualRuleSourceParseError::InvalidSparkleURL;
                return result;
            }
            candidate.sparkleFeedURL = text;
            candidate.title = text;
            break;
        case RuleCandidateSourceType::HomebrewCask:
            if (!isCaskToken(text)) {
                result.error = ManualRuleSourceParseError::InvalidHomebrewCask;
                return result;
            }
            candidate.homebrewCaskName = text;
            candidate.title = text;
            break;
        case RuleCandidateSourceType::Manual: candidate.title = "manual"; break;
    }
    result.candidate = std::move(candidate);
    return result;
}

std::vector<RuleDiscoveryCandidate> RuleDiscoveryService::candidates(const RuleDiscoveryAppContext& app,
                                                                     std::stop_token stop) {
    std::vector<RuleDiscoveryCandidate> found;
    const std::string normal = normalizeAppName(app.name);
    if (options_.caskIndex && !normal.empty()) {
        if (auto index = options_.caskIndex()) {
            // Cask tokens are the name in lower case with hyphens ("visual-studio-code"),
            // sometimes run together; a token ending in "@…" is a channel of the same cask.
            std::string hyphenated = normal;
            std::replace(hyphenated.begin(), hyphenated.end(), ' ', '-');
            std::string joined = normal;
            std::erase(joined, ' ');
            for (const auto& [token, cask] : *index) {
                const std::string base = token.substr(0, token.find('@'));
                if (base != hyphenated && base != joined) continue;
                if (cask.disabled) continue;
                RuleDiscoveryCandidate candidate = newCandidate(RuleCandidateSourceType::HomebrewCask,
                                                                RuleCandidateProvenance::Heuristic,
                                                                base == token ? 0.85 : 0.6);
                candidate.homebrewCaskName = token;
                candidate.title = token;
                candidate.detail = "rule_discovery.candidate.homebrew";
                found.push_back(std::move(candidate));
            }
        }
    }
    if (app.sparkleFeedURL && isWebAddress(*app.sparkleFeedURL)) {
        RuleDiscoveryCandidate candidate =
            newCandidate(RuleCandidateSourceType::Sparkle, RuleCandidateProvenance::Heuristic, 0.95);
        candidate.sparkleFeedURL = app.sparkleFeedURL;
        candidate.title = *app.sparkleFeedURL;
        candidate.detail = "rule_discovery.candidate.sparkle_plist";
        found.push_back(std::move(candidate));
    }
    if (options_.network && !app.name.empty()) {
        for (RuleDiscoveryCandidate& candidate : searchGitHub(app, stop)) found.push_back(std::move(candidate));
    }
    std::stable_sort(found.begin(), found.end(), [](const RuleDiscoveryCandidate& a, const RuleDiscoveryCandidate& b) {
        return a.heuristicScore > b.heuristicScore;
    });
    logger().info(localized("rule_discovery.candidates_found", {std::to_string(found.size())}));
    return found;
}

std::vector<RuleDiscoveryCandidate> RuleDiscoveryService::searchGitHub(const RuleDiscoveryAppContext& app,
                                                                       std::stop_token stop) {
    std::vector<RuleDiscoveryCandidate> found;
    HttpRequest request;
    std::string path = "/search/repositories?q=";
    path += percentEncode(app.name + " macos");
    path += "&sort=stars&per_page=5";
    const std::optional<std::string> token = options_.gitHubToken ? options_.gitHubToken() : std::nullopt;
    try {
        request.url = Endpoints::url(Service::GitHubApi, path);
        request.timeoutSeconds = kRequestTimeLimit;
        request.headers.set("Accept", GitHubReleasesManager::kAccept);
        request.headers.set("User-Agent", GitHubReleasesManager::kUserAgent);
        if (token) request.headers.set("Authorization", "Bearer " + *token);
        HttpResponse response = options_.network->send(request, stop);
        std::optional<Json> json = parseJson(response.body);
        if (response.statusCode != 200 || !json || !json->is_object() || !(*json)["items"].is_array()) {
            logger().warning(
                localized("log.rules.github_search_http", {app.name, std::to_string(response.statusCode)}));
            return found;
        }
        for (const Json& item : (*json)["items"]) {
            auto owner = item.is_object() && item.contains("owner") ? textOf(item["owner"], "login") : std::nullopt;
            auto name = textOf(item, "name");
            if (!owner || !name || !isRepositoryPart(*owner) || !isRepositoryPart(*name)) continue;
            const double stars = item["stargazers_count"].is_number() ? std::max(0.0, item["stargazers_count"].get<double>()) : 0;
            // Stars on a log scale: 10 give 0.4, 1 000 0.6, 100 000 (and more) 0.8; never above
            // the bundle's own feed or an exact cask.
            const double score = 0.2 + 0.6 * std::min(1.0, std::log10(stars + 1) / 5.0);
            RuleDiscoveryCandidate candidate =
                newCandidate(RuleCandidateSourceType::GitHub, RuleCandidateProvenance::Heuristic, score);
            candidate.githubOwner = owner;
            candidate.githubRepo = name;
            candidate.title = *owner + "/" + *name;
            candidate.detail = textOf(item, "description").value_or("");
            found.push_back(std::move(candidate));
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        std::string message = localized("log.rules.github_search_failed", {app.name, error.what()});
        if (token && !token->empty()) {
            for (std::size_t at = message.find(*token); at != std::string::npos; at = message.find(*token, at)) {
                message.replace(at, token->size(), "***");
            }
        }
        logger().warning(message);
    }
    return found;
}

VerifiedRuleDraft RuleDiscoveryService::verify(const RuleDiscoveryCandidate& candidate,
                                               const std::string& installedVersion, std::stop_token stop) {
    VerifiedRuleDraft draft;
    draft.candidate = candidate;
    switch (candidate.sourceType) {
        case RuleCandidateSourceType::GitHub: return verifyGitHub(std::move(draft), installedVersion, stop);
        case RuleCandidateSourceType::Sparkle: return verifySparkle(std::move(draft), installedVersion, stop);
        case RuleCandidateSourceType::HomebrewCask: return verifyCask(std::move(draft), installedVersion, stop);
        case RuleCandidateSourceType::Manual: break;
    }
    draft.status = RuleVerifyStatus::Skipped;
    draft.message = "rule_discovery.verify.manual_skipped";
    return draft;
}

VerifiedRuleDraft RuleDiscoveryService::verifyGitHub(VerifiedRuleDraft draft, const std::string& installedVersion,
                                                     std::stop_token stop) {
    const auto& owner = draft.candidate.githubOwner;
    const auto& repo = draft.candidate.githubRepo;
    if (!owner || !repo || !isRepositoryPart(*owner) || !isRepositoryPart(*repo) || !options_.network) {
        return failed(std::move(draft), "rule_discovery.verify.invalid_github");
    }
    const std::optional<std::string> token = options_.gitHubToken ? options_.gitHubToken() : std::nullopt;
    auto get = [&](const std::string& path) {
        HttpRequest request;
        request.url = Endpoints::url(Service::GitHubApi, path);
        request.timeoutSeconds = kRequestTimeLimit;
        request.headers.set("Accept", GitHubReleasesManager::kAccept);
        request.headers.set("User-Agent", GitHubReleasesManager::kUserAgent);
        if (token) request.headers.set("Authorization", "Bearer " + *token);
        return options_.network->send(request, stop);
    };
    std::string base = "/repos/";
    base += *owner;
    base += "/";
    base += *repo;
    std::optional<std::string> tag;
    try {
        HttpResponse latest = get(base + "/releases/latest");
        if (latest.statusCode == 200) {
            std::optional<Json> json = parseJson(latest.body);
            if (!json || !json->is_object()) return failed(std::move(draft), "rule_discovery.verify.github_json");
            tag = textOf(*json, "tag_name");
            if (!tag) tag = textOf(*json, "name");
        } else if (latest.statusCode == 404) {
            // No published release: the newest tag stands for the version.
            HttpResponse tags = get(base + "/tags?per_page=1");
            if (tags.statusCode != 200) return failed(std::move(draft), "rule_discovery.verify.github_http");
            std::optional<Json> json = parseJson(tags.body);
            if (!json || !json->is_array()) return failed(std::move(draft), "rule_discovery.verify.github_json");
            if (!json->empty()) tag = textOf((*json)[0], "name");
        } else {
            return failed(std::move(draft), "rule_discovery.verify.github_http");
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return failed(std::move(draft), "rule_discovery.verify.network_error");
    }
    std::optional<std::string> version = tag ? versionFromTag(*tag) : std::nullopt;
    if (!version) return failed(std::move(draft), "rule_discovery.verify.no_version");
    return compared(std::move(draft), *version, installedVersion);
}

VerifiedRuleDraft RuleDiscoveryService::verifySparkle(VerifiedRuleDraft draft, const std::string& installedVersion,
                                                      std::stop_token stop) {
    const auto& feed = draft.candidate.sparkleFeedURL;
    if (!feed || !isWebAddress(*feed) || !options_.network) return failed(std::move(draft), "rule_discovery.verify.invalid_sparkle");
    HttpResponse response;
    try {
        HttpRequest request;
        request.url = *feed;
        request.timeoutSeconds = kRequestTimeLimit;
        request.headers.set("User-Agent", "Vantreel");
        response = options_.network->send(request, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return failed(std::move(draft), "rule_discovery.verify.appcast_unreachable");
    }
    if (!response.isSuccess()) return failed(std::move(draft), "rule_discovery.verify.appcast_unreachable");
    if (response.body.find('<') == std::string::npos) return failed(std::move(draft), "rule_discovery.verify.appcast_unreadable");
    std::optional<std::string> version = firstSparkleVersion(response.body);
    if (!version) return failed(std::move(draft), "rule_discovery.verify.sparkle_no_version");
    return compared(std::move(draft), *version, installedVersion);
}

VerifiedRuleDraft RuleDiscoveryService::verifyCask(VerifiedRuleDraft draft, const std::string& installedVersion,
                                                   std::stop_token stop) {
    const auto& token = draft.candidate.homebrewCaskName;
    if (!token || !isCaskToken(*token) || !options_.runner || !options_.brewPath) {
        return failed(std::move(draft), "rule_discovery.verify.missing_cask");
    }
    ShellCommandResult result;
    try {
        CommandRequest request;
        request.command = *options_.brewPath;
        request.arguments = {"info", "--json=v2", "--cask", *token};
        request.environment = {{"HOMEBREW_NO_AUTO_UPDATE", "1"}};
        request.timeout = kCommandTimeLimit;
        request.allowNonZeroExit = true;
        result = options_.runner->execute(request, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return failed(std::move(draft), "rule_discovery.verify.missing_cask");
    }
    std::optional<Json> json = result.exitCode == 0 ? parseJson(result.standardOutput) : std::nullopt;
    if (!json || !json->is_object() || !(*json)["casks"].is_array() || (*json)["casks"].empty()) {
        return failed(std::move(draft), "rule_discovery.verify.missing_cask");
    }
    std::optional<std::string> version = textOf((*json)["casks"][0], "version");
    // "1.2.3,4567" carries a build after the comma; "latest" says nothing.
    if (version) version = version->substr(0, version->find(','));
    if (!version || version->empty() || *version == "latest") {
        return failed(std::move(draft), "rule_discovery.verify.cask_version_missing");
    }
    return compared(std::move(draft), *version, installedVersion);
}

AppUpdateRule RuleDiscoveryService::ruleFrom(const RuleDiscoveryAppContext& app, const RuleDiscoveryCandidate& candidate) {
    AppUpdateRule rule;
    rule.bundleIdentifier = app.bundleIdentifier;
    rule.displayName = app.name.empty() ? app.bundleIdentifier : app.name;
    rule.notes = "rule_discovery.rule_note";
    rule.confidence = AppRuleConfidence::BestEffort;
    switch (candidate.sourceType) {
        case RuleCandidateSourceType::GitHub:
            rule.primarySource = AppRulePrimarySource::GitHub;
            rule.github = GitHubRuleConfig{candidate.githubOwner.value_or(""), candidate.githubRepo.value_or("")};
            break;
        case RuleCandidateSourceType::Sparkle:
            rule.primarySource = AppRulePrimarySource::Sparkle;
            rule.sparkleFeedURL = candidate.sparkleFeedURL;
            break;
        case RuleCandidateSourceType::HomebrewCask:
            rule.primarySource = AppRulePrimarySource::HomebrewCask;
            rule.homebrewCaskName = candidate.homebrewCaskName;
            break;
        case RuleCandidateSourceType::Manual:
            rule.primarySource = AppRulePrimarySource::Manual;
            rule.manualOnly = true;
            rule.confidence = AppRuleConfidence::Manual;
            break;
    }
    rule.normalizedNames = normalizedNamesOf(rule);
    return rule;
}

AppUpdateRule RuleDiscoveryService::apply(const RuleDiscoveryAppContext& app, const VerifiedRuleDraft& draft,
                                          LocalRuleOverrideStore& store) {
    AppUpdateRule rule = ruleFrom(app, draft.candidate);
    store.put(rule);
    AppRuleCatalogService::rebuild();
    return rule;
}

}  // namespace vt
