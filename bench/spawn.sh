#!/usr/bin/env bash
# bench/run spawn: 2,000 runs of /bin/true through CommandRunner against a bare posix_spawn
# loop doing the same essential work, interleaved in one process. Target ratio <= 1.3.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
build/release/bench/SpawnBench --benchmark_filter='^spawn/' --benchmark_enable_random_interleaving=true
