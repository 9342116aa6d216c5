#!/usr/bin/env bash
# bench/run spawn-bound: 120 commands of `sleep 0.2` submitted at once; under twelve slots
# the ideal is ten waves, 2.0 s. Target ratio <= 1.15.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
build/release/bench/SpawnBench --benchmark_filter='^spawn-bound/'
