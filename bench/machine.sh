#!/usr/bin/env bash
# bench/run machine [SOURCE...]: each source enabled here (or those named) scanned alone (scan --full) against the tool's
# own command answering the same question, taking turns, 5 rounds, medians, the answers
# compared; then the whole scan against its slowest source alone. See bench/machine.py.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec python3 bench/machine.py "$(pwd)/build/release/vantreel" "$@"
