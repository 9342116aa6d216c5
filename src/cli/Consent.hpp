#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace vt::cli {

// The flags of every command that changes the machine.
struct ChangeFlags {
    bool yes = false;     // go ahead without asking
    bool dryRun = false;  // show what would change, change nothing
};

// What a command that has shown its plan may do next.
enum class Consent {
    Go,        // --yes, an answer of yes, or a setting that turned the question off
    DryRun,    // --dry-run: stop after the plan
    Declined,  // the user answered no
    NeedsYes,  // no terminal to ask on and no --yes: refused, as apt-get refuses
};

// The one place the question is asked. On a terminal it asks `question` (which ends with
// "[y/N] ") on standard error and reads the answer from standard input; without one it
// refuses unless --yes was given, naming --yes. `askByDefault` false is the user's own
// setting that this command goes ahead without asking; it spares the question on a terminal
// only, since a script or a pipe has no one who chose it. Prints what a refusal means.
Consent askConsent(const ChangeFlags& flags, const std::string& command, const std::string& question,
                   bool askByDefault = true);

// The exit status of a run that stopped at its plan: 0 after a dry run, 1 when the user
// declined, 2 when --yes was needed (bad usage).
int exitStatusOf(Consent consent);

// --yes/-y and --dry-run, worded for what the command changes: `change` names the help texts
// "help.option.yes.CHANGE" and "help.option.dry_run.CHANGE".
void addChangeFlags(CLI::App& command, ChangeFlags& flags, std::string_view change);

// Exit status of a run the user stopped with Ctrl-C (128 + SIGINT, as a shell reports it).
inline constexpr int kExitInterrupted = 130;

}  // namespace vt::cli
