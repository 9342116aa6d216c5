#!/usr/bin/env bash
# bench/run scan: the scan's critical path against its ideal (median of 3 runs).
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
build/release/bench/ScanBench
