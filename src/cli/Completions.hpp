#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace vt::cli {

// The completion script of a shell ("bash", "zsh", "fish"), made from the commands and
// options `app` defines: commands and their commands, every option, and the values of the
// options that take one of a few (--only, --exclude, --color). Nothing for another shell.
std::optional<std::string> completionScript(const CLI::App& app, std::string_view shell);

}  // namespace vt::cli
