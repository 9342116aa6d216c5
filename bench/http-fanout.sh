#!/usr/bin/env bash
# bench/run http-fanout [REQUESTS [LATENCY_MS [IN_FLIGHT]]]
# 300 registry-style GETs against the loopback server, each answered after 50 ms, at most 16
# in flight, compared with the ideal 300 x 0.05 / 16 s. The last line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/HttpFanoutBench "${1:-300}" "${2:-50}" "${3:-16}"
