#pragma once

#include <string>
#include <string_view>

namespace vt {

// Turns one output stream, read in pieces of any size, into valid UTF-8 text without
// losing anything a tool prints: invalid bytes become U+FFFD, and a character split
// between two reads is held back until its last byte arrives. The pieces it returns,
// joined, equal sanitizeUtf8() of the whole stream. One instance per stream; not
// thread-safe.
class ProcessOutputDecoder {
public:
    // The text of every complete character so far (may be empty).
    std::string decode(std::string_view bytes);
    // What was held back, repaired; call once, at end of stream.
    std::string finish();

private:
    std::string pending_;
};

}  // namespace vt
