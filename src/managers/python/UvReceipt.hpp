#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vt {

// What a uv tool's "uv-receipt.toml" says about where the tool came from: the name of its
// first requirement and that requirement's source. Only these keys are read, with a lenient
// scan rather than a TOML parser, so a receipt written by a newer uv with keys we do not
// know still reads. A plain value; parse() never throws.
struct UvReceipt {
    enum class SourceKind { Registry, LocalPath, DirectURL, Git };

    std::optional<std::string> requirementName;
    SourceKind sourceKind = SourceKind::Registry;
    std::string sourceLocation;  // as the receipt spells it; empty for a registry install

    // The name is the `name` of the first entry of the `requirements` array, else the first
    // `name` of the file. The source is the first `git`, `url` or `path` key with a quoted
    // value (a key at the start of a line or after "{", "," or white space, so that
    // `install-path` of an entry point never counts); `directory` and `editable`, which uv
    // writes for local folders, count as paths.
    static UvReceipt parse(std::string_view text);

    // The requirement as uv itself spells it: "pypi" for a registry install, "git+URL" for
    // Git, else the URL or the path.
    std::string sourceIdentifier() const;

    friend bool operator==(const UvReceipt&, const UvReceipt&) = default;
};

}  // namespace vt
