#!/usr/bin/env bash
# bench/run appcasts [ROUNDS [APPS [LATENCY_MS]]]
# Every corpus appcast parsed 100 times against pugixml's own parse of the same bytes (items
# per second, target ratio 2.0), and 200 Sparkle applications whose feeds a loopback https
# server answers after 50 ms, checked under the engine's cap against the ideal (target 1.2).
# The last line gives both ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_TESTS=OFF -DVT_BENCH=ON > /dev/null
cmake --build build/release --target AppcastsBench >&2
exec build/release/bench/AppcastsBench "${1:-100}" "${2:-200}" "${3:-50}"
