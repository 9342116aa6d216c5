#!/usr/bin/env bash
# bench/run list-cold-start: `vantreel list --json` over 5,000 saved packages and 1,000 saved
# applications, each run a new process, beside the floor of starting an empty process and
# reading the same saved files.
# Prints the absolute times, the peak RSS and, last, the ratio to the floor.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
build/release/bench/ListColdStartBench "$(pwd)/build/release/vantreel"
