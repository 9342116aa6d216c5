#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace CLI {
class App;
}

namespace vt::cli {

// The help of every command in the program's own words: usage, what the command does, its
// commands and its options with their value names, its examples and, for the program, its
// exit statuses. Set on the program before its commands are added, which inherit it.
class HelpFormatter : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
};

// The command `path` names under `app` ("version compare"): nothing when a name is not one.
const CLI::App* commandAt(const CLI::App& app, const std::vector<std::string>& path);
// The full name of a command ("vantreel version compare").
std::string commandPath(const CLI::App& command);
// The words after the program's name ("version compare"); empty for the program.
std::string relativePath(const CLI::App& command);

// For a mistyped command: the command of `parent` closest to `name` (a prefix of it, or at
// most two edits away), if any.
std::optional<std::string> closestCommand(const CLI::App& parent, const std::string& name);

// The command the program's own options are followed by ("scan" in "--color never scan -q");
// nothing when there is none.
std::optional<std::string> commandWord(const CLI::App& app, const std::vector<std::string>& arguments);

// Walks the arguments as the parser will, and when one stands where a command of the
// command before it is expected but names none, returns the message that says so (with
// the closest name). Options and their values are skipped.
std::optional<std::string> unknownCommandMessage(const CLI::App& app, const std::vector<std::string>& arguments);

// The commands a person sees (hidden ones left out), in the order they were added.
std::vector<const CLI::App*> visibleCommands(const CLI::App& app);

}  // namespace vt::cli
