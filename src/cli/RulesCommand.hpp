#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel rules list|show|discover|add|remove`: the per-application source rules, and the
// user's own ones. APP is a bundle identifier, an application name or a bundle path.
void addRulesCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
