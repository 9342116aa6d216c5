#include "cli/Onboarding.hpp"

#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "core/PackageCoordinator.hpp"
#include "settings/DefaultsStore.hpp"

namespace vt::cli {

namespace {

constexpr const char* kExplanation =
    "Van Treel takes an inventory of what this machine has installed and finds what has a newer version.\n"
    "To do so it runs the package managers' own commands (brew, npm, pip, ...) in read-only mode and asks\n"
    "public registries and release feeds for their latest versions. It changes nothing until you ask for\n"
    "an update.\n";

void accept() {
    Context::shared().defaults().update([](Json& object) {
        object[std::string(PackageCoordinator::kTermsAccepted)] = true;
        object[std::string(PackageCoordinator::kPendingPostOnboardingScan)] = true;
    });
}

}  // namespace

bool ensureTermsAccepted(bool acceptedOnCommandLine) {
    DefaultsStore& defaults = Context::shared().defaults();
    if (defaults.boolValue(PackageCoordinator::kTermsAccepted).value_or(false)) return true;
    if (acceptedOnCommandLine) {
        accept();
        return true;
    }
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        std::fputs(kExplanation, stderr);
        std::fputs("Continue? [y/N] ", stderr);
        std::fflush(stderr);
        std::string answer;
        std::getline(std::cin, answer);
        answer = toLower(trim(answer));
        if (answer == "y" || answer == "yes" || answer == "o" || answer == "oui") {
            accept();
            return true;
        }
        std::fputs("Nothing was scanned. Run vantreel again when you are ready.\n", stderr);
        return false;
    }
    std::fputs(kExplanation, stderr);
    std::fputs("To accept, run it once with --accept-terms (for example: vantreel scan --accept-terms).\n", stderr);
    return false;
}

}  // namespace vt::cli
