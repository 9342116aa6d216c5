#include "managers/homebrew/BrewErrorClassifier.hpp"

#include <algorithm>

#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

using Kind = BrewErrorType::Kind;

// The requirement and the current version sit on separate lines of npm's engine warning,
// hence dot-matches-newline.
const Regex& nodeRequirementPattern() {
    static const Regex pattern(R"((?s)required:\s*\{\s*node:\s*'([^']+)'\s*\}.*?current:\s*\{\s*node:\s*'([^']+)')");
    return pattern;
}

const Regex& conflictsWithPattern() {
    static const Regex pattern(R"(conflicts with:\s*(.+?)(?:\n|$))");
    return pattern;
}

const Regex& unlinkSuggestionPattern() {
    static const Regex pattern(R"(`brew unlink ([^`\s]+)`)");
    return pattern;
}

// The lines under "conflicting formulae are installed.": "  name: because both install ...".
const Regex& conflictReasonPattern() {
    static const Regex pattern(R"((?m)^\s+([A-Za-z0-9@+_.\-/]+): because )");
    return pattern;
}

const Regex& downloadFailurePattern() {
    static const Regex pattern(R"(Error:.*?(\S+):\s+Failure)");
    return pattern;
}

const Regex& cachedFilePattern() {
    static const Regex pattern(R"((?m)^\s*(?:File|Archive):\s*(\S.*?)\s*$)");
    return pattern;
}

const Regex& alreadyDownloadedPattern() {
    static const Regex pattern(R"((?m)^\s*Already downloaded:\s*(\S.*?)\s*$)");
    return pattern;
}

const Regex& permissionPathPattern() {
    static const Regex pattern(R"((?i)(?:permission denied|directory not empty)\s*@\s*\w+\s+-\s+(/\S+))");
    return pattern;
}

bool containsAny(std::string_view text, std::initializer_list<std::string_view> parts) {
    return std::any_of(parts.begin(), parts.end(), [&](std::string_view part) { return contains(text, part); });
}

std::string_view tailOf(std::string_view output) {
    if (output.size() <= BrewErrorClassifier::kMaxClassifiedBytes) return output;
    return output.substr(output.size() - BrewErrorClassifier::kMaxClassifiedBytes);
}

void addUnique(std::vector<std::string>& names, std::string name) {
    name = trim(name);
    while (!name.empty() && (name.back() == '.' || name.back() == ',')) name.pop_back();
    if (name.empty() || std::find(names.begin(), names.end(), name) != names.end()) return;
    names.push_back(std::move(name));
}

// What brew itself said, without the progress chatter: its "Error:" lines when it printed
// any, else the whole text, bounded.
std::string rawMessage(std::string_view output) {
    std::vector<std::string> errors;
    for (std::string_view line : splitLines(output)) {
        std::string_view trimmed = trimView(line);
        if (startsWith(trimmed, "Error:")) errors.emplace_back(trimmed);
    }
    std::string message = sanitizeUtf8(errors.empty() ? trim(output) : join(errors, "\n"));
    constexpr std::size_t kMaxMessage = 4000;
    if (message.size() > kMaxMessage) {
        std::size_t end = kMaxMessage;
        // Cut before a character, not inside one.
        while (end > 0 && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) --end;
        message.resize(end);
    }
    return message;
}

std::string upgradeCommand(const std::string& name, bool isCask) {
    return isCask ? "brew upgrade --cask " + name : "brew upgrade " + name;
}

// "nvm install 18" for ">=18.0.0"; the LTS line when no major version can be read.
std::string nvmCommand(const std::string& required) {
    auto digit = std::find_if(required.begin(), required.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digit == required.end()) return "nvm install --lts";
    auto end = std::find_if(digit, required.end(), [](char c) { return c < '0' || c > '9'; });
    return "nvm install " + std::string(digit, end);
}

ParsedBrewError make(BrewErrorType type, std::string_view messageKey, std::vector<std::string> messageArguments,
                     std::string_view suggestionKey, std::vector<std::string> suggestionArguments,
                     std::optional<std::string> command, bool requiresUserAction) {
    return ParsedBrewError(std::move(type), localized(messageKey, messageArguments),
                           localized(suggestionKey, suggestionArguments), std::move(command), requiresUserAction);
}

}  // namespace

ParsedBrewError::ParsedBrewError(BrewErrorType type, std::string userMessage, std::string suggestion,
                                 std::optional<std::string> command, bool requiresUserAction)
    : std::runtime_error(userMessage),
      type_(std::move(type)),
      userMessage_(std::move(userMessage)),
      suggestion_(std::move(suggestion)),
      command_(std::move(command)),
      requiresUserAction_(requiresUserAction) {}

std::vector<std::string> BrewErrorClassifier::conflictingNames(std::string_view output) {
    output = tailOf(output);
    std::vector<std::string> names;
    for (const auto& match : conflictsWithPattern().findAll(output)) {
        if (!match.groups.at(0)) continue;
        for (std::string_view part : split(*match.groups[0], ',')) {
            std::string name = trim(part);
            // "bar (because ...)" and quoted tokens: keep the name alone.
            if (auto space = name.find(' '); space != std::string::npos) name.resize(space);
            std::erase_if(name, [](char c) { return c == '\'' || c == '"' || c == '`'; });
            addUnique(names, std::move(name));
        }
    }
    if (contains(toLower(output), "conflicting formulae are installed")) {
        for (const auto& match : conflictReasonPattern().findAll(output)) {
            if (match.groups.at(0)) addUnique(names, std::string(*match.groups[0]));
        }
    }
    for (const auto& match : unlinkSuggestionPattern().findAll(output)) {
        if (match.groups.at(0)) addUnique(names, std::string(*match.groups[0]));
    }
    return names;
}

std::optional<std::string> BrewErrorClassifier::checksumCachePath(std::string_view output) {
    output = tailOf(output);
    if (auto match = cachedFilePattern().search(output); match && match->groups.at(0)) {
        return std::string(*match->groups[0]);
    }
    // Older output names the file only where it says it was already downloaded.
    if (auto match = alreadyDownloadedPattern().search(output); match && match->groups.at(0)) {
        return std::string(*match->groups[0]);
    }
    return std::nullopt;
}

std::optional<std::string> BrewErrorClassifier::permissionPath(std::string_view output) {
    output = tailOf(output);
    if (auto match = permissionPathPattern().search(output); match && match->groups.at(0)) {
        std::string path(*match->groups[0]);
        while (!path.empty() && (path.back() == '.' || path.back() == '\'' || path.back() == '"')) path.pop_back();
        return path;
    }
    return std::nullopt;
}

bool BrewErrorClassifier::saysRunningAsRoot(std::string_view output) {
    std::string lower = toLower(tailOf(output));
    return contains(lower, "running homebrew as root");
}

ParsedBrewError BrewErrorClassifier::rootRefusal(const std::string& packageName, bool isCask) {
    BrewErrorType type{.kind = Kind::SudoRequired, .packageName = packageName};
    return make(std::move(type), "brew.error.root.message", {}, "brew.error.root.suggestion", {},
                upgradeCommand(packageName, isCask), true);
}

ParsedBrewError BrewErrorClassifier::classify(std::string_view output, const std::string& packageName, bool isCask) {
    output = tailOf(output);
    const std::string lower = toLower(output);

    if (contains(lower, "already installed")) {
        return ParsedBrewError(BrewErrorType{.kind = Kind::AlreadyInstalled}, rawMessage(output), "", std::nullopt,
                               false);
    }
    if (saysRunningAsRoot(output)) return rootRefusal(packageName, isCask);

    if (auto match = nodeRequirementPattern().search(output); match && match->groups.size() >= 2) {
        std::string required(match->groups[0].value_or(""));
        std::string current(match->groups[1].value_or(""));
        BrewErrorType type{.kind = Kind::NodeVersionIncompatible};
        return make(std::move(type), "brew.error.node_version.message", {}, "brew.error.node_version.suggestion",
                    {required, current}, nvmCommand(required), true);
    }
    if (contains(lower, "conflicting formulae are installed") || conflictsWithPattern().matches(output) ||
        unlinkSuggestionPattern().matches(output)) {
        std::vector<std::string> conflicts = conflictingNames(output);
        std::string list = join(conflicts, ", ");
        BrewErrorType type{.kind = Kind::ConflictingPackage, .conflicts = std::move(conflicts)};
        return make(std::move(type), "brew.error.conflict.message", {list}, "brew.error.conflict.suggestion", {},
                    std::nullopt, true);
    }
    if (containsAny(lower, {"the `brew link` step did not complete", "could not symlink"})) {
        return make(BrewErrorType{.kind = Kind::LinkFailure, .packageName = packageName}, "brew.error.link.message",
                    {packageName}, "brew.error.link.suggestion", {}, "brew link --overwrite " + packageName, true);
    }
    if (contains(lower, "it seems the app source")) {
        return make(BrewErrorType{.kind = Kind::CaskSourceMissing, .packageName = packageName},
                    "brew.error.cask_source.message", {packageName}, "brew.error.cask_source.suggestion", {},
                    "brew reinstall --cask " + packageName, true);
    }
    // "sha256 mismatch" is how Homebrew spelled it before 4.x.
    if (containsAny(lower, {"sha-256 mismatch", "sha256 mismatch", "cask reports different checksum"})) {
        BrewErrorType type{.kind = Kind::ChecksumMismatch, .cachePath = checksumCachePath(output)};
        return make(std::move(type), "brew.error.checksum.message", {packageName}, "brew.error.checksum.suggestion",
                    {}, std::nullopt, false);
    }
    if (containsAny(lower, {"a terminal is required to read the password", "sudo: a password is required"})) {
        return make(BrewErrorType{.kind = Kind::SudoRequired, .packageName = packageName}, "brew.error.sudo.message",
                    {packageName}, "brew.error.sudo.suggestion", {}, upgradeCommand(packageName, true), true);
    }
    if (contains(lower, "request failed: 403")) {
        return make(BrewErrorType{.kind = Kind::GithubRateLimited}, "brew.error.rate_limit.message", {},
                    "brew.error.rate_limit.suggestion", {}, "export HOMEBREW_GITHUB_API_TOKEN=your_token", true);
    }
    if (contains(lower, "permission denied")) {
        return make(BrewErrorType{.kind = Kind::PermissionDenied}, "brew.error.permission.message", {},
                    "brew.error.permission.suggestion", {}, std::nullopt, false);
    }
    if (containsAny(lower, {"no available formula", "no formulae or casks found", "no cask with this name exists"})) {
        return make(BrewErrorType{.kind = Kind::NotFound}, "brew.error.not_found.message", {},
                    "brew.error.not_found.suggestion", {}, "brew update", true);
    }
    if (downloadFailurePattern().matches(output) || contains(lower, "download failed")) {
        return make(BrewErrorType{.kind = Kind::DownloadFailed}, "brew.error.download.message", {},
                    "brew.error.download.suggestion", {}, std::nullopt, false);
    }
    if (containsAny(lower, {"could not resolve host", "failed to connect to", "connection timed out"})) {
        return make(BrewErrorType{.kind = Kind::NetworkError}, "brew.error.network.message", {},
                    "brew.error.download.suggestion", {}, std::nullopt, false);
    }
    std::string message = rawMessage(output);
    return ParsedBrewError(BrewErrorType{.kind = Kind::Unknown, .message = message}, message, "", std::nullopt, false);
}

}  // namespace vt
