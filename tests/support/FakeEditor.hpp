#pragma once

namespace vt::testing {

// A stand-in for an editor's command-line tool, installed as ROOT/bin/TOOL (and reached
// through symbolic links, as the Linux packages do).
// Lists ROOT/extensions.txt; installs "id@version", "id" (at ROOT/cli-latest) or a .vsix
// whose content is the version; fails with exit 0 while ROOT/fail exists. With ROOT/cli-latest
// present its marketplace knows no other version: "id@version" of another one is not found,
// as the real tool answers.
inline constexpr const char* kFakeEditorTool = R"SH(#!/bin/sh
root=$(dirname "$(dirname "$(readlink -f "$0")")")
state=$root/extensions.txt
case "$1" in
  --version) printf '1.90.0\n0f0f0f0f\nx64\n' ;;
  --list-extensions) echo "(node:42) [DEP0005] DeprecationWarning: Buffer() is deprecated" >&2; cat "$state" ;;
  --install-extension)
    echo "$2 $3" >> "$root/installs.log"
    echo "(node:42) [DEP0040] DeprecationWarning: The punycode module is deprecated. (Use node --trace-deprecation ...)" >&2
    if [ -f "$root/fail" ]; then echo "Installing extensions..."; echo "Failed Installing Extensions: $2"; exit 0; fi
    case "$2" in
      *.vsix) id=$(basename "$2" .vsix); version=$(cat "$2") ;;
      *@*) id=${2%@*}; version=${2#*@}
        if [ -f "$root/cli-latest" ] && [ "$version" != "$(cat "$root/cli-latest")" ]; then
          echo "Extension '$id' v$version not found." >&2; exit 1
        fi ;;
      *) id=$2; version=$(cat "$root/cli-latest") ;;
    esac
    grep -v -i "^$id@" "$state" > "$state.new"; echo "$id@$version" >> "$state.new"; mv "$state.new" "$state"
    echo "Extension '$id' v$version was successfully installed." ;;
esac
)SH";

}  // namespace vt::testing
