#!/usr/bin/env bash
# bench/run list-cold-start: `vantreel list --json` with 5,000 saved packages (median, peak RSS).
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
build/release/bench/ListColdStartBench "$(pwd)/build/release/vantreel"
