#pragma once

#include "cli/SourceSelection.hpp"
#include "core/UpdatePlan.hpp"

namespace vt::cli {

// Leaves out of an update plan the items of the sources --only and --exclude leave out,
// steps and left-out items alike; a step left empty goes.
void restrictPlan(UpdatePlan& plan, const SourceSelection& selection);

// Moves to the left-out items the packages whose offered version lacks the registry
// attestations the installed one had: an update of everything never takes them unasked.
void leaveOutLostProvenance(UpdatePlan& plan);

}  // namespace vt::cli
