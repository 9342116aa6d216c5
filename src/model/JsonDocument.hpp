#pragma once

#include <string_view>

#include <simdjson.h>

namespace vt {

// The saved lists (packages, applications) are read with one parser a thread: it keeps its
// buffers between files, and one set of buffers is all a `list` needs. The element returned
// lives until the next parse on this thread. Throws JsonSyntaxError for text that is not JSON.
simdjson::dom::element parseJsonDocument(std::string_view text);

}  // namespace vt
