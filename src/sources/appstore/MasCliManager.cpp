#include "sources/appstore/MasCliManager.hpp"

#include <unistd.h>

#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("MasCliManager");
    return instance;
}

}  // namespace

MasCliError MasCliError::notInstalled() { return MasCliError(Kind::NotInstalled, localized("mas.cli_missing")); }

MasCliManager::MasCliManager(Options options) : options_(std::move(options)) {}

std::vector<std::string> MasCliManager::masPaths(const std::string& home) {
    std::vector<std::string> paths = {"/opt/homebrew/bin/mas", "/usr/local/bin/mas", "/opt/local/bin/mas"};
    if (!home.empty()) paths.push_back(home + "/.local/bin/mas");
    return paths;
}

double MasCliManager::timeLimit(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return 60;
    std::string command = toLower(arguments.front());
    if (command == "upgrade" || command == "install") return 900;
    if (command == "list" || command == "search" || command == "account" || command == "info" || command == "home") {
        return 60;
    }
    return 300;
}

bool MasCliManager::reportsMissingAccount(std::string_view output) {
    std::string text = toLower(output);
    for (const char* phrase : {"not signed in", "sign in to the app store", "no account", "unable to find account",
                               "account unavailable", "not logged in"}) {
        if (contains(text, phrase)) return true;
    }
    return false;
}

std::optional<std::string> MasCliManager::executable() const {
    std::vector<std::string> candidates = masPaths(options_.home);
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), X_OK) == 0) {
            logger().debug(localized("log.mas.cli_found", {path}));
            return path;
        }
    }
    logger().debug(localized("log.mas.cli_missing", {join(candidates, ", ")}));
    return std::nullopt;
}

ShellCommandResult MasCliManager::run(const std::vector<std::string>& arguments, std::stop_token stop,
                                      std::optional<double> limit) const {
    std::optional<std::string> path = executable();
    if (!path) throw MasCliError::notInstalled();
    CommandRequest request;
    request.command = *path;
    request.arguments = arguments;
    request.timeout = limit.value_or(timeLimit(arguments));
    request.allowNonZeroExit = true;
    return options_.runner->execute(request, stop);
}

}  // namespace vt
