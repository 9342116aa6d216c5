#pragma once

#include <optional>
#include <string>

namespace vt {

// Asks for a password on the controlling terminal, with echo off. Enter ends it; Ctrl-C (the
// terminal's interrupt character), end of input or a closed terminal cancel it, and nothing
// is returned. The terminal's settings come back on every way out: a SIGINT, SIGTERM, SIGHUP
// or SIGQUIT that arrives meanwhile restores them at once, cancels the prompt and is raised
// again once the handlers that were there before are back. One prompt at a time; blocks the
// calling thread. `prompt` is outside text and is cleaned before it is shown.
std::optional<std::string> askPasswordOnTerminal(const std::string& prompt);

// Overwrites the bytes of a secret, so that no copy of it outlives its use in our memory.
void wipe(std::string& secret) noexcept;

}  // namespace vt
