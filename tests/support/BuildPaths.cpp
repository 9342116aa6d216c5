#include "support/BuildPaths.hpp"

namespace vt::testing {

const std::string& sourceDir() {
    static const std::string path = VT_SOURCE_DIR;
    return path;
}

const std::string& vantreelPath() {
    static const std::string path = VT_BINARY_PATH;
    return path;
}

const std::string& corpusDir() {
    static const std::string path = VT_CORPUS_DIR;
    return path;
}

}  // namespace vt::testing
