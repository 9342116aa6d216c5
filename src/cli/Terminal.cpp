#include "cli/Terminal.hpp"

#include <cerrno>

#include <unistd.h>

#include "base/Localization.hpp"

namespace vt::cli {

std::string readAllStandardInput() {
    std::string input;
    char buffer[1 << 16];
    while (true) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n > 0) {
            input.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return input;
}

void writeAll(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool askYesOnTerminal(const std::string& question) {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) return false;
    writeAll(stderr, question);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    std::string word(answer);
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) word.pop_back();
    for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return word == "y" || word == "yes" || word == "o" || word == "oui";
}

std::function<bool(const std::string& appName)> replaceRunningConsent(bool json) {
    return [json](const std::string& name) {
        return !json && askYesOnTerminal(localized("update.replace_running_prompt", {name}));
    };
}

}  // namespace vt::cli
