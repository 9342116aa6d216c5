#include "cli/Help.hpp"

#include <algorithm>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "base/TextCells.hpp"
#include "cli/Output.hpp"
#include "cli/TextTable.hpp"

namespace vt::cli {

namespace {

constexpr std::size_t kNameColumn = 26;

std::string toUpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// "--only SRC[,SRC]", "-y, --yes": what a person types. A validator's description, which
// the parser glues to the value's name, is left out.
std::string optionSynopsis(const CLI::Option& option) {
    std::string names;
    for (const std::string& name : option.get_snames()) names += (names.empty() ? "-" : ", -") + name;
    for (const std::string& name : option.get_lnames()) names += (names.empty() ? "--" : ", --") + name;
    if (option.get_snames().empty()) names = "    " + names;
    if (option.get_type_size_max() == 0) return names;  // a flag
    std::string value = option.get_type_name();
    if (auto colon = value.find(':'); colon != std::string::npos) value.erase(colon);
    return value.empty() ? names : names + " " + value;
}

std::string positionalSynopsis(const CLI::Option& option) {
    std::string value = option.get_type_name();
    if (auto colon = value.find(':'); colon != std::string::npos) value.erase(colon);
    if (value.empty() || value == "TEXT") value = toUpperAscii(option.get_name(true));
    if (option.get_expected_max() > 1) value += "...";
    return option.get_required() ? value : "[" + value + "]";
}

// Text wrapped to the terminal under a hanging indent: its first line after `lead`, the
// others under `indent` columns.
std::string hanging(const std::string& lead, std::string_view text, std::size_t indent, std::size_t width) {
    std::string out = lead;
    const std::vector<std::string> lines = wrapCells(text, width - indent - 1);
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i == 0 ? "" : std::string(indent, ' ')) + lines[i] + "\n";
    return out;
}

// The description column is wrapped to the terminal, its lines under one another: left to
// the terminal, a long one would carry on from the first column. A pipe gets each whole.
std::string line(const std::string& left, const std::string& right, std::size_t width) {
    std::string text = "  " + padRight(left, kNameColumn - 2);
    if (cellWidth(left) + 2 >= kNameColumn) text = "  " + left + "\n" + std::string(kNameColumn, ' ');
    constexpr std::size_t kNarrowest = 20;
    if (width == TextTable::kUnlimited || width < kNameColumn + kNarrowest) return text + right + "\n";
    return hanging(text, right, kNameColumn, width);
}

std::string paragraph(const std::string& text, std::size_t width) {
    if (width == TextTable::kUnlimited) return text + "\n";
    return join(wrapCells(text, width - 1), "\n") + "\n";
}

// A footer line too wide for the terminal, wrapped under its text: after a short label
// ("  3    with --exit-code, ...") or under its own indent.
std::string footerLine(const std::string& text, std::size_t width) {
    if (width == TextTable::kUnlimited || cellWidth(text) < width) return text + "\n";
    const std::size_t indent = std::min(text.find_first_not_of(' '), text.size());
    std::size_t hang = indent;
    const std::size_t labelEnd = text.find("  ", indent);
    if (labelEnd != std::string::npos && labelEnd - indent <= 8) hang = std::min(text.find_first_not_of(' ', labelEnd), text.size());
    if (hang + 20 > width) return text + "\n";
    return hanging(text.substr(0, hang), std::string_view(text).substr(hang), hang, width);
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
        }
        std::swap(previous, current);
    }
    return previous[b.size()];
}

bool takesValue(const CLI::App& command, const std::string& argument) {
    if (argument.find('=') != std::string::npos) return false;
    const CLI::Option* option = command.get_option_no_throw(argument);
    // A flag has a type size of 1 too: what it expects says whether a word follows.
    return option != nullptr && option->get_expected_max() > 0;
}


}  // namespace

std::vector<const CLI::App*> visibleCommands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* command) { return !command->get_group().empty(); });
}

const CLI::App* commandAt(const CLI::App& app, const std::vector<std::string>& path) {
    const CLI::App* command = &app;
    for (const std::string& name : path) {
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : visibleCommands(*command)) {
            if (sub->check_name(name)) next = sub;
        }
        if (next == nullptr) return nullptr;
        command = next;
    }
    return command;
}

// The words after the program's name ("version compare"); empty for the program.
std::string relativePath(const CLI::App& command) {
    std::string path;
    for (const CLI::App* at = &command; at->get_parent() != nullptr; at = at->get_parent()) {
        path = path.empty() ? at->get_name() : at->get_name() + " " + path;
    }
    return path;
}

std::string commandPath(const CLI::App& command) {
    std::string path = command.get_name();
    for (const CLI::App* parent = command.get_parent(); parent != nullptr; parent = parent->get_parent()) {
        path = parent->get_name() + " " + path;
    }
    return path;
}

std::optional<std::string> closestCommand(const CLI::App& parent, const std::string& name) {
    std::optional<std::string> best;
    std::size_t bestDistance = 3;
    for (const CLI::App* command : visibleCommands(parent)) {
        const std::string& candidate = command->get_name();
        if (candidate.rfind(name, 0) == 0 && !name.empty()) return candidate;
        const std::size_t distance = editDistance(name, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    return best;
}

std::optional<std::string> commandWord(const CLI::App& app, const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") return std::nullopt;
        if (argument.size() > 1 && argument[0] == '-') {
            if (takesValue(app, argument)) ++i;
            continue;
        }
        return argument;
    }
    return std::nullopt;
}

std::optional<std::string> unknownCommandMessage(const CLI::App& app, const std::vector<std::string>& arguments) {
    const CLI::App* command = &app;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") return std::nullopt;
        if (argument.size() > 1 && argument[0] == '-') {
            // "--color=never" carries its value; "--color never" takes the next word.
            if (argument.find('=') == std::string::npos && takesValue(*command, argument)) ++i;
            continue;
        }
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : command->get_subcommands([](const CLI::App*) { return true; })) {
            if (sub->check_name(argument)) next = sub;
        }
        if (next != nullptr) {
            command = next;
            continue;
        }
        // A command that takes words of its own (items, versions) reads this one.
        if (visibleCommands(*command).empty() || !command->get_options([](const CLI::Option* option) {
                                                               return option->get_positional();
                                                           }).empty()) {
            return std::nullopt;
        }
        std::string message = localized("help.unknown_command", {argument, commandPath(*command)});
        if (auto closest = closestCommand(*command, argument)) message += " " + localized("help.did_you_mean", {*closest});
        const std::string words = relativePath(*command);
        return message + "\n" + localized("help.see_help", {words.empty() ? "vantreel help" : "vantreel help " + words});
    }
    return std::nullopt;
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const {
    // The parser names a command by its own name only: the path says where it is.
    name = commandPath(*app);
    std::string out;
    std::string usage = localized("help.usage") + " " + name;
    const auto options = app->get_options([](const CLI::Option* option) {
        return !option->get_group().empty() && option->nonpositional();
    });
    const auto positionals = app->get_options([](const CLI::Option* option) {
        return !option->get_group().empty() && option->get_positional();
    });
    const std::vector<const CLI::App*> commands = visibleCommands(*app);
    if (!options.empty()) usage += " " + localized("help.usage_options");
    if (!commands.empty()) usage += " " + localized(app->get_parent() == nullptr ? "help.usage_command_optional" : "help.usage_command");
    for (const CLI::Option* positional : positionals) usage += " " + positionalSynopsis(*positional);
    out += usage + "\n";
    const std::size_t width = outputWidth();
    if (!app->get_description().empty()) out += "\n" + paragraph(app->get_description(), width);
    if (!commands.empty()) {
        out += "\n" + localized("help.commands") + "\n";
        for (const CLI::App* command : commands) out += line(command->get_name(), command->get_description(), width);
    }
    if (!positionals.empty()) {
        out += "\n" + localized("help.arguments") + "\n";
        for (const CLI::Option* positional : positionals) {
            out += line(positionalSynopsis(*positional), positional->get_description(), width);
        }
    }
    if (!options.empty()) {
        out += "\n" + localized("help.options") + "\n";
        for (const CLI::Option* option : options) {
            out += line(optionSynopsis(*option), option->get_description(), width);
        }
    }
    const std::string footer = app->get_footer();
    if (!footer.empty()) {
        out += "\n";
        for (std::string_view footerText : splitLines(footer)) out += footerLine(std::string(footerText), width);
    }
    return punctuated(out);
}

}  // namespace vt::cli
