#include "cli/CommandOptions.hpp"

#include <cstdio>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"

namespace vt::cli {

void SourceOptions::addTo(CLI::App& command) {
    command.add_option("--only", only, localized("help.option.only"))->delimiter(',')->type_name("SRC[,SRC]");
    command.add_option("--exclude", exclude, localized("help.option.exclude"))->delimiter(',')->type_name("SRC[,SRC]");
}

std::optional<SourceSelection> SourceOptions::selection(const std::string& verb) const {
    try {
        return SourceSelection::parse(only, exclude);
    } catch (const SourceSelectionError& error) {
        std::fprintf(stderr, "vantreel %s: %s\n", verb.c_str(), error.what());
        return std::nullopt;
    }
}

void setExamples(CLI::App& command, const std::vector<std::string>& lines) {
    std::string text = localized(lines.size() == 1 ? "help.example" : "help.examples");
    for (const std::string& line : lines) text += "\n  " + line;
    command.footer(text);
}

}  // namespace vt::cli
