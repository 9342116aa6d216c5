#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vt {

// What a uv tool's "uv-receipt.toml" says about where the tool came from: the name of its
// first requirement and that requirement's source, read with a TOML parser (toml++); keys
// we do not know (a newer uv's) are ignored. A plain value; parse() never throws.
struct UvReceipt {
    enum class SourceKind { Registry, LocalPath, DirectURL, Git };

    std::optional<std::string> requirementName;
    SourceKind sourceKind = SourceKind::Registry;
    std::string sourceLocation;  // as the receipt spells it; empty for a registry install

    // The name is the `name` of the first entry of [tool]'s `requirements` array (or the
    // name part of an older PEP 508 string entry), else that of its first entry point. The
    // source is that entry's `git`, `url` or `path` key; `directory` and `editable`, which
    // uv writes for local folders, count as paths. Text that is not TOML gives an empty
    // receipt (a registry install with no name).
    static UvReceipt parse(std::string_view text);

    // The requirement as uv itself spells it: "pypi" for a registry install, "git+URL" for
    // Git, else the URL or the path.
    std::string sourceIdentifier() const;

    friend bool operator==(const UvReceipt&, const UvReceipt&) = default;
};

}  // namespace vt
