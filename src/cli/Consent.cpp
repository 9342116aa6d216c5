#include "cli/Consent.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"

namespace vt::cli {

namespace {

bool answeredYes(const std::string& question) {
    std::fputs(question.c_str(), stderr);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = toLower(trim(answer));
    return answer == "y" || answer == "yes" || answer == "o" || answer == "oui";
}

}  // namespace

Consent askConsent(const ChangeFlags& flags, const std::string& command, const std::string& question,
                   bool askByDefault) {
    if (flags.dryRun) return Consent::DryRun;
    if (flags.yes || (::isatty(STDIN_FILENO) == 1 && (!askByDefault || answeredYes(question)))) {
        // From here on the machine changes: a run that ends abnormally is said at the next.
        Context::shared().recordRun();
        return Consent::Go;
    }
    if (::isatty(STDIN_FILENO) != 1) {
        std::fprintf(stderr, "vantreel %s: %s\n", command.c_str(), localized("consent.needs_yes").c_str());
        return Consent::NeedsYes;
    }
    std::fprintf(stderr, "%s\n", localized("consent.declined").c_str());
    return Consent::Declined;
}

int exitStatusOf(Consent consent) {
    switch (consent) {
        case Consent::Go:
        case Consent::DryRun: return kExitSuccess;
        case Consent::Declined: return kExitFailure;
        case Consent::NeedsYes: return kExitUsage;
    }
    return kExitFailure;
}

void addChangeFlags(CLI::App& command, ChangeFlags& flags, std::string_view change) {
    std::string yesKey = "help.option.yes.";
    yesKey += change;
    std::string dryRunKey = "help.option.dry_run.";
    dryRunKey += change;
    command.add_flag("--yes,-y", flags.yes, localized(yesKey));
    command.add_flag("--dry-run", flags.dryRun, localized(dryRunKey));
}

}  // namespace vt::cli
