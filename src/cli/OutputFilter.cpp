// Standard output and error behind the one filter every printed byte goes through. Built
// on the C library's custom streams: fopencookie on Linux, funopen on macOS.
#include "cli/Output.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "base/PrintableText.hpp"

namespace vt::cli {

namespace {

struct FilteredStream {
    int fd;
    PrintableTextFilter filter;
    std::string cleaned;
};

void writeAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed pipe: the bytes go nowhere, as they would have
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

ssize_t writeFiltered(void* cookie, const char* data, std::size_t size) {
    auto* stream = static_cast<FilteredStream*>(cookie);
    stream->cleaned.clear();
    stream->filter.feed(std::string_view(data, size), stream->cleaned);
    writeAllTo(stream->fd, stream->cleaned);
    return static_cast<ssize_t>(size);
}

int closeFiltered(void* cookie) {
    auto* stream = static_cast<FilteredStream*>(cookie);
    stream->cleaned.clear();
    stream->filter.finish(stream->cleaned);
    writeAllTo(stream->fd, stream->cleaned);
    return 0;
}

// Never destroyed: the C library flushes the streams at exit, after every destructor ran.
FilteredStream* const standardOutput = new FilteredStream{STDOUT_FILENO, {}, {}};
FilteredStream* const standardError = new FilteredStream{STDERR_FILENO, {}, {}};

std::FILE* filtered(FilteredStream* stream) {
#if defined(__APPLE__)
    std::FILE* file = ::funopen(
        stream, nullptr,
        [](void* cookie, const char* data, int size) {
            return static_cast<int>(writeFiltered(cookie, data, static_cast<std::size_t>(size)));
        },
        nullptr, closeFiltered);
#else
    cookie_io_functions_t functions{};
    functions.write = writeFiltered;
    functions.close = closeFiltered;
    std::FILE* file = ::fopencookie(stream, "w", functions);
#endif
    return file;
}

}  // namespace

void installOutputFilter() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* out = filtered(standardOutput);
    std::FILE* err = filtered(standardError);
    if (out == nullptr || err == nullptr) return;
    // Buffered as the streams they stand for: lines on a terminal, blocks in a pipe, and
    // standard error not at all.
    std::setvbuf(out, nullptr, ::isatty(STDOUT_FILENO) == 1 ? _IOLBF : _IOFBF, BUFSIZ);
    std::setvbuf(err, nullptr, _IONBF, 0);
    stdout = out;
    stderr = err;
}

}  // namespace vt::cli
