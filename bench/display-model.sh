#!/usr/bin/env bash
# bench/run display-model [ROWS [SOURCES [DUPLICATES]]]
# The all-updates display model over 20,000 rows from 40 sources with 2,000 duplicates,
# against sorting the same rows by the same keys; and a request with an unchanged signal.
# The last line is the ratio build/floor.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/DisplayModelBench "${1:-20000}" "${2:-40}" "${3:-2000}"
