#include "cli/VersionCommand.hpp"

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "cli/CommandOptions.hpp"
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
            std::fprintf(stderr, "vantreel version %s: %s\n", what, localized("version.no_tab", {std::to_string(number)}).c_str());
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
    auto* version = app.add_subcommand("version", localized("help.version"));
    setExamples(*version, {"vantreel version", "vantreel version compare 1.9 1.10", "vantreel version check 1.0 2.0"});
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
        bool exitCode = false;
        std::string shown;
    };
    auto state = std::make_shared<Pair>();

    auto* compare = version->add_subcommand("compare", localized("help.version_compare"));
    compare->add_option("versions", state->texts, localized("help.option.versions_compare"))
        ->expected(0, 2)
        ->type_name("A B");
    compare->add_flag("--exit-code", state->exitCode, localized("help.option.compare_exit_code"));
    setExamples(*compare, {"vantreel version compare 1.9 1.10", "printf '1.9\\t1.10\\n' | vantreel version compare",
                           "vantreel version compare --exit-code \"$installed\" \"$latest\""});
    compare->callback([state, exitCode] {
        if (state->texts.size() == 1) throw CLI::ValidationError(localized("version.two_or_none", {"compare"}));
        if (state->texts.empty()) {
            if (state->exitCode) throw CLI::ValidationError(localized("version.exit_code_needs_two"));
            *exitCode = answerPairs("compare", [](std::string_view a, std::string_view b) {
                return std::string(toString(compareVersions(a, b)));
            });
            return;
        }
        const VersionOrder order = compareVersions(state->texts[0], state->texts[1]);
        std::printf("%s\n", std::string(toString(order)).c_str());
        // As cmp: 0 for the same version; then 1 when A is the older, 2 when it is the newer.
        *exitCode = !state->exitCode ? 0 : order == VersionOrder::Same ? 0 : order == VersionOrder::Ascending ? 1 : 2;
    });

    auto* check = version->add_subcommand("check", localized("help.version_check"));
    check->add_option("versions", state->texts, localized("help.option.versions_check"))
        ->expected(0, 2)
        ->type_name("INSTALLED LATEST");
    check->add_flag("--pre-release", state->preRelease, localized("help.option.pre_release"));
    setExamples(*check, {"vantreel version check 1.0 2.0 && echo newer"});
    check->callback([state, exitCode] {
        if (state->texts.size() == 1) throw CLI::ValidationError(localized("version.two_or_none", {"check"}));
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

    auto* sort = version->add_subcommand("sort", localized("help.version_sort"));
    sort->add_flag("--reverse", state->reverse, localized("help.option.reverse"));
    sort->add_flag("--unique", state->unique, localized("help.option.unique"));
    setExamples(*sort, {"printf '1.10\\n1.9\\n' | vantreel version sort"});
    sort->callback([state, exitCode] { *exitCode = runSort(state->reverse, state->unique); });

    auto* show = version->add_subcommand("show", localized("help.version_show"));
    show->add_option("version", state->shown, localized("help.option.version_text"))->required()->type_name("TEXT");
    setExamples(*show, {"vantreel version show \"Version 2.1 (45)\""});
    show->callback([state, exitCode] {
        std::printf("%s\n", displayVersion(state->shown).c_str());
        *exitCode = 0;
    });
}

}  // namespace vt::cli
