#!/usr/bin/env bash
# bench/run extensions [EXTENSIONS [LATENCY_MS]]
# Editor extension checks: 300 extensions across two editors against the loopback marketplaces,
# each answer after 60 ms, compared with the ideal for the request cap (ceil(150 / 8) x 0.06 s);
# then a lightweight round against 4-second answers, with how far it ran past its 12 s budget.
# The last line is the full round's ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/ExtensionsBench "${1:-300}" "${2:-60}"
