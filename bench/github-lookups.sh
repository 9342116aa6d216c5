#!/usr/bin/env bash
# bench/run github-lookups [APPS [LATENCY_MS]]
# The latest-release lookups of 100 GitHub-published applications against the loopback API,
# each answered after 80 ms, under the update-check engine's cap, compared with the ideal
# ceil(100 / cap) x 0.08 s; the requests are counted. The last line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/GitHubLookupsBench "${1:-100}" "${2:-80}"
