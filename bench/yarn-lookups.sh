#!/usr/bin/env bash
# bench/run yarn-lookups [PACKAGES [LATENCY_MS]]
# Yarn's latest-version lookups for 200 packages against the loopback registry, each answered
# after 50 ms, at most 16 at a time, compared with the ideal ceil(200 / 16) x 0.05 s. The last
# line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/YarnLookupsBench "${1:-200}" "${2:-50}"
