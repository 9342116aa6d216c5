#pragma once

#include <optional>
#include <string_view>

// Header-only (the library's default): a shared library of its own would be loaded at every
// start of the program, for the few commands that read a TOML file.
#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

namespace vt {

// `text` as a TOML document; nothing where it is not TOML, and nothing where it holds bytes
// that toml++ 3.3 (Debian 12's) mishandles: it reaches __builtin_unreachable on many control
// and non-ASCII bytes outside strings, which is undefined behaviour. Non-ASCII text inside a
// string closed on its own line is read; anywhere else (comments included) the text is refused.
std::optional<toml::table> parseToml(std::string_view text);

}  // namespace vt
