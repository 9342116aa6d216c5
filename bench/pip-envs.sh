#!/usr/bin/env bash
# bench/run pip-envs: three --system-site-packages virtual environments against one loopback
# package index with 50 ms per page; `pip list --outdated` of the three at once against our pip
# scanner over the three. The last line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
make -s release >&2
exec build/release/bench/PipEnvsBench
