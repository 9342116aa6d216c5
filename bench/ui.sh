#!/usr/bin/env bash
# bench/run ui [ROWS [FRAMES]]
# The interactive table over 20,000 rows: a key press and its frame, rendered, and drawn
# through ncurses as on a 120x40 xterm (whose output goes to /dev/null), against formatting
# the same rows once as plain list text. The last line is the ratio frame/plain text.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
TERM=xterm-256color COLUMNS=120 LINES=40 exec build/release/bench/UiBench "${1:-20000}" "${2:-300}" < /dev/null
