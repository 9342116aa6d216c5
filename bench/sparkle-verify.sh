#!/usr/bin/env bash
# bench/run sparkle-verify [MEGABYTES [ROUNDS]]
# The Ed25519 check of a 200 MB enclosure against `openssl pkeyutl -verify -rawin` on the same
# file and key, median of 3 rounds each, with each side's peak memory. The last line gives the
# ratio (target 1.2).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_TESTS=OFF -DVT_BENCH=ON > /dev/null
cmake --build build/release --target SparkleVerifyBench >&2
exec build/release/bench/SparkleVerifyBench "${1:-200}" "${2:-3}"
