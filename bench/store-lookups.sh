#!/usr/bin/env bash
# bench/run store-lookups [LATENCY_MS]
# Store lookups against a loopback server answering after 80 ms, one part per store source.
# Each part prints its figures, its request count against its uncached items, and a last
# line ending in its ratio measured/ideal. A source adds a function and its name to `parts`.
# The last line is the worst ratio of all parts.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
latency=${1:-80}

# 300 App Store identifiers, half of them fresh in the lookup cache.
appstore() { build/release/bench/StoreLookupsBench 300 "$latency"; }

parts=(appstore)

worst=0
for part in "${parts[@]}"; do
  output=$("$part") || { printf '%s\n' "$output"; echo "store-lookups: part $part failed" >&2; exit 1; }
  printf '%s\n' "$output"
  ratio=$(printf '%s\n' "$output" | tail -n 1 | awk '{print $NF}')
  worst=$(awk -v a="$worst" -v b="$ratio" 'BEGIN { print (b > a) ? b : a }')
done
echo "store-lookups worst ratio measured/ideal: $worst"
