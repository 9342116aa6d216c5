#include "cli/Onboarding.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "base/TextCells.hpp"
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

// The explanation as lines no wider than the terminal it goes to (and no wider than 100
// columns, for reading); a pipe gets those 100.
std::string explanation() {
    std::size_t width = 100;
    winsize size{};
    if (::isatty(STDERR_FILENO) == 1 && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) {
        width = std::min<std::size_t>(width, size.ws_col);
    }
    const std::string words = localized("onboarding.explanation");
    std::string text;
    std::size_t used = 0;
    for (std::string_view word : split(words, ' ')) {
        if (word.empty()) continue;
        const std::size_t cells = cellWidth(word);
        if (used > 0 && used + 1 + cells > width) {
            text += '\n';
            used = 0;
        } else if (used > 0) {
            text += ' ';
            ++used;
        }
        text += word;
        used += cells;
    }
    return text;
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
        std::fputs((explanation() + "\n").c_str(), stderr);
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
    std::fputs((explanation() + "\n").c_str(), stderr);
    std::fputs((localized("onboarding.how_to_accept") + "\n").c_str(), stderr);
    return false;
}

}  // namespace vt::cli
