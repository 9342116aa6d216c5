#include "support/Corpus.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include "support/BuildPaths.hpp"

namespace vt::testing {

std::string corpusPath(std::string_view relative) {
    std::string path = corpusDir() + "/" + std::string(relative);
    if (!std::filesystem::is_regular_file(path)) {
        throw std::runtime_error("the shared corpus file " + path +
                                 " is missing: these tests need ../shared/corpus beside the checkout");
    }
    return path;
}

std::string corpusFile(std::string_view relative) {
    std::string path = corpusPath(relative);
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) throw std::runtime_error("the shared corpus file " + path + " cannot be read");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace vt::testing
