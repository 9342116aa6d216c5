#include "cli/Onboarding.hpp"

#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "core/PackageCoordinator.hpp"
#include "settings/DefaultsStore.hpp"

namespace vt::cli {

namespace {

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
        std::fputs((localized("onboarding.explanation") + "\n").c_str(), stderr);
        std::fputs(localized("onboarding.continue").c_str(), stderr);
        std::fflush(stderr);
        std::string answer;
        std::getline(std::cin, answer);
        answer = toLower(trim(answer));
        if (answer == "y" || answer == "yes" || answer == "o" || answer == "oui") {
            accept();
            return true;
        }
        std::fputs((localized("onboarding.declined") + "\n").c_str(), stderr);
        return false;
    }
    std::fputs((localized("onboarding.explanation") + "\n").c_str(), stderr);
    std::fputs((localized("onboarding.how_to_accept") + "\n").c_str(), stderr);
    return false;
}

}  // namespace vt::cli
