#!/usr/bin/env bash
# bench/run scan: every source's chain against the ideal (see bench/ScanBench.cpp), with
# 15 sources (target 1.10) and 40 sources (target 1.15); medians of 3 runs each.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
small=$(build/release/bench/ScanBench 15 | tee /dev/stderr | tail -n 1 | awk '{print $NF}')
large=$(build/release/bench/ScanBench 40 | tee /dev/stderr | tail -n 1 | awk '{print $NF}')
echo "scan ratio measured/ideal: 15 sources ${small} (target 1.10), 40 sources ${large} (target 1.15)"
