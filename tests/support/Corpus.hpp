#pragma once

#include <string>
#include <string_view>

namespace vt::testing {

// Files of the shared corpus of real-world outputs, which lives beside the checkout
// (../shared/corpus). A missing file throws, naming it: the test fails and says why,
// instead of passing on nothing or on a made-up stand-in.
std::string corpusPath(std::string_view relative);
std::string corpusFile(std::string_view relative);

}  // namespace vt::testing
