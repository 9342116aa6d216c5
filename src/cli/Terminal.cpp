#include "cli/Terminal.hpp"

#include <cerrno>

#include <unistd.h>

namespace vt::cli {

std::string readAllStandardInput() {
    std::string input;
    char buffer[1 << 16];
    while (true) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n > 0) {
            input.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return input;
}

void writeAll(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace vt::cli
