#pragma once

namespace CLI {
class App;
}

namespace vt::cli {

// `vantreel sofa [--os-version V] [--json]`: how far a macOS release is behind its track in
// the public release feed, and which vulnerabilities were fixed since.
void addSofaCommand(CLI::App& app, int* exitCode);

}  // namespace vt::cli
