#!/usr/bin/env bash
# bench/run rescan: a second `vantreel scan` of this machine with nothing changed (target
# 1.0 s), and a package installed between two scans seen by the second. See bench/rescan.py.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec python3 bench/rescan.py "$(pwd)/build/release/vantreel"
