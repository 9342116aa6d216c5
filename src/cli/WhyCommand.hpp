#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel why NAME|ID [--json]`: everything the last scan knows of an item and every reason
// it is or is not offered, each with its stable code.
void addWhyCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
