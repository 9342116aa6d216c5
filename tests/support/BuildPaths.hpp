#pragma once

#include <string>

namespace vt::testing {

// Where this build's checkout, program and the shared corpus are. They are compiled into one
// file only, so that the other test objects are the same in every clone and the compiler
// cache serves them all.
const std::string& sourceDir();
const std::string& vantreelPath();
const std::string& corpusDir();

}  // namespace vt::testing
