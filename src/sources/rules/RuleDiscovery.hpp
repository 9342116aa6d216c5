#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/BrewAPIClient.hpp"

namespace vt {

class CommandRunning;
class NetworkClient;

enum class RuleCandidateSourceType { GitHub, Sparkle, HomebrewCask, Manual };
enum class RuleCandidateProvenance { Heuristic, UserSubmitted };
enum class RuleVerifyStatus { NotRun, Ok, UpToDate, Failed, Skipped };
enum class ManualRuleSourceParseError { EmptyInput, InvalidGitHub, InvalidSparkleURL, InvalidHomebrewCask };

std::string_view rawValue(RuleCandidateSourceType type);  // "github", "sparkle", "homebrewCask", "manual"
std::string_view rawValue(RuleVerifyStatus status);       // "notRun", "ok", "upToDate", "failed", "skipped"
std::string_view messageKey(ManualRuleSourceParseError error);  // "rule_discovery.manual.error.…"

struct RuleDiscoveryAppContext {
    std::string name;
    std::string bundleIdentifier;
    std::string bundlePath;
    std::string installedVersion;
    std::optional<std::string> sparkleFeedURL;
};

struct RuleDiscoveryCandidate {
    std::string id;  // a UUID
    RuleCandidateSourceType sourceType = RuleCandidateSourceType::Manual;
    std::string title;
    std::string detail;
    std::optional<std::string> githubOwner;
    std::optional<std::string> githubRepo;
    std::optional<std::string> sparkleFeedURL;
    std::optional<std::string> homebrewCaskName;
    RuleCandidateProvenance provenance = RuleCandidateProvenance::Heuristic;
    double heuristicScore = 0;
};

struct VerifiedRuleDraft {
    RuleDiscoveryCandidate candidate;
    std::optional<std::string> remoteVersion;
    RuleVerifyStatus status = RuleVerifyStatus::NotRun;
    std::string message;  // a text key, "rule_discovery.verify.…"
};

// A manual input read as a candidate, or why it cannot be one.
struct ManualRuleParse {
    std::optional<RuleDiscoveryCandidate> candidate;
    std::optional<ManualRuleSourceParseError> error;
};

// Proposes sources for an application no rule knows, checks each over the network, and saves
// the chosen one as a local rule. Stateless apart from its options; any thread.
class RuleDiscoveryService {
public:
    static constexpr double kRequestTimeLimit = 15;
    static constexpr double kCommandTimeLimit = 60;

    struct Options {
        NetworkClient* network = nullptr;  // required for the GitHub search and verification
        CommandRunning* runner = nullptr;  // `brew info`; casks are not verified without one
        std::optional<std::string> brewPath;
        std::function<std::optional<std::string>()> gitHubToken;
        std::function<std::shared_ptr<const BrewAPIClient::CaskIndex>()> caskIndex;
    };

    explicit RuleDiscoveryService(Options options);

    // Casks of the index named like the application, the bundle's own feed, and the GitHub
    // search's repositories, best score first. A source that fails adds nothing (logged).
    std::vector<RuleDiscoveryCandidate> candidates(const RuleDiscoveryAppContext& app, std::stop_token stop = {});
    VerifiedRuleDraft verify(const RuleDiscoveryCandidate& candidate, const std::string& installedVersion,
                             std::stop_token stop = {});

    static ManualRuleParse parseManualInput(RuleCandidateSourceType type, std::string_view input);
    // The local rule a candidate stands for.
    static AppUpdateRule ruleFrom(const RuleDiscoveryAppContext& app, const RuleDiscoveryCandidate& candidate);
    // Saves the candidate's rule in the store and rebuilds the shared catalog. Throws FileWriteError.
    static AppUpdateRule apply(const RuleDiscoveryAppContext& app, const VerifiedRuleDraft& draft,
                               LocalRuleOverrideStore& store);

private:
    VerifiedRuleDraft verifyGitHub(VerifiedRuleDraft draft, const std::string& installedVersion, std::stop_token stop);
    VerifiedRuleDraft verifySparkle(VerifiedRuleDraft draft, const std::string& installedVersion, std::stop_token stop);
    VerifiedRuleDraft verifyCask(VerifiedRuleDraft draft, const std::string& installedVersion, std::stop_token stop);
    std::vector<RuleDiscoveryCandidate> searchGitHub(const RuleDiscoveryAppContext& app, std::stop_token stop);

    Options options_;
};

}  // namespace vt
