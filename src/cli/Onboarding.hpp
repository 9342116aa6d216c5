#pragma once

namespace vt::cli {

// No scan runs before the user accepts what the program does. Accepting (the flag, or a yes
// at the prompt shown once on a terminal) records the terms and owes a full first scan.
// Returns false, after saying how to accept, when the terms stay unaccepted.
bool ensureTermsAccepted(bool acceptedOnCommandLine);

}  // namespace vt::cli
