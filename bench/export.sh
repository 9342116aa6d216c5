#!/usr/bin/env bash
# bench/run export [ITEMS]: `vantreel export prometheus` and `vantreel export sqlite` over
# 20,000 saved items, beside `vantreel list --json > /dev/null` over the same results, each
# run a new process. The last line is the slower export's median and its ratio to the list.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/ExportBench "$(pwd)/build/release/vantreel" "${1:-20000}"
