#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/SourceSelection.hpp"

namespace CLI {
class App;
}

namespace vt::cli {

// --only SRC[,SRC] and --exclude SRC[,SRC], as every command that chooses sources takes them.
struct SourceOptions {
    std::vector<std::string> only;
    std::vector<std::string> exclude;

    void addTo(CLI::App& command);
    // The selection; nothing, once standard error says why, when a name is unknown.
    std::optional<SourceSelection> selection(const std::string& verb) const;
};

// A command's help ends with these examples, one command line each.
void setExamples(CLI::App& command, const std::vector<std::string>& lines);

}  // namespace vt::cli
