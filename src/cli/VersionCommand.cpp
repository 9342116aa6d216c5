#include "cli/VersionCommand.hpp"

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Terminal.hpp"
#include "model/VersionRules.hpp"

namespace vt::cli {

namespace {

// Lines of standard input without their "\n"; a last line without one still counts.
std::vector<std::string_view> inputLines(const std::string& input) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        lines.emplace_back(input.data() + start, end - start);
        start = end + 1;
    }
    return lines;
}

// Runs `answer` on each "A<TAB>B" line; a line without a tab gets "invalid" and exit status 2.
template <typename Answer>
int answerPairs(const char* what, Answer answer) {
    const std::string input = readAllStandardInput();
    std::string output;
    int status = 0;
    std::size_t number = 0;
    for (std::string_view line : inputLines(input)) {
        ++number;
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            output += "invalid\n";
            std::fprintf(stderr, "vantreel version %s: line %zu has no tab between the two versions\n", what, number);
            status = 2;
            continue;
        }
        output += answer(line.substr(0, tab), line.substr(tab + 1));
        output += '\n';
    }
    writeAll(stdout, output);
    return status;
}

int runSort(bool reverse, bool unique) {
    const std::string input = readAllStandardInput();
    const std::vector<std::string_view> lines = inputLines(input);
    std::string output;
    output.reserve(input.size() + 1);
    for (std::size_t line : sortedLineOrder(lines, reverse, unique)) {
        output.append(lines[line]);
        output += '\n';
    }
    writeAll(stdout, output);
    return 0;
}

}  // namespace

void addVersionCommand(CLI::App& app, int* exitCode) {
    auto* version = app.add_subcommand("version", "Print the program's version, or apply the version rules");
    version->callback([version, exitCode] {
        if (version->get_subcommands().empty()) {
            std::printf("vantreel %s\n", VT_PROGRAM_VERSION);
            *exitCode = 0;
        }
    });

    struct Pair {
        std::vector<std::string> texts;
        bool preRelease = false;
        bool reverse = false;
        bool unique = false;
        std::string shown;
    };
    auto state = std::make_shared<Pair>();

    auto* compare = version->add_subcommand(
        "compare", "Print ascending, same or descending for A and B (pairs on standard input without them)");
    compare->add_option("versions", state->texts, "A and B (either may be empty)")->expected(0, 2);
    compare->callback([state, exitCode] {
        if (state->texts.size() == 1) throw CLI::ValidationError("compare takes two versions, or none");
        if (state->texts.empty()) {
            *exitCode = answerPairs("compare", [](std::string_view a, std::string_view b) {
                return std::string(toString(compareVersions(a, b)));
            });
            return;
        }
        std::printf("%s\n", std::string(toString(compareVersions(state->texts[0], state->texts[1]))).c_str());
        *exitCode = 0;
    });

    auto* check = version->add_subcommand(
        "check", "Print whether LATEST is an update of INSTALLED; exit 0 for yes, 1 for no");
    check->add_option("versions", state->texts, "INSTALLED and LATEST")->expected(0, 2);
    check->add_flag("--pre-release", state->preRelease, "Count pre-releases as updates");
    check->callback([state, exitCode] {
        if (state->texts.size() == 1) throw CLI::ValidationError("check takes two versions, or none");
        auto answer = [&](std::string_view installed, std::string_view latest) {
            return isUpdateAvailable(installed, latest, state->preRelease);
        };
        if (state->texts.empty()) {
            *exitCode = answerPairs("check", [&](std::string_view a, std::string_view b) {
                return std::string(answer(a, b) ? "update available" : "no update");
            });
            return;
        }
        bool available = answer(state->texts[0], state->texts[1]);
        std::printf("%s\n", available ? "update available" : "no update");
        *exitCode = available ? 0 : 1;
    });

    auto* sort = version->add_subcommand("sort", "Sort version texts read one per line, oldest first");
    sort->add_flag("--reverse", state->reverse, "Newest first");
    sort->add_flag("--unique", state->unique, "Print each text once (lines are kept by default, as sort keeps them)");
    sort->callback([state, exitCode] { *exitCode = runSort(state->reverse, state->unique); });

    auto* show = version->add_subcommand("show", "Print the display form of a version text");
    show->add_option("version", state->shown, "The version text")->required();
    show->callback([state, exitCode] {
        std::printf("%s\n", displayVersion(state->shown).c_str());
        *exitCode = 0;
    });
}

}  // namespace vt::cli
