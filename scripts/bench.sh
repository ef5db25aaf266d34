#!/usr/bin/env bash
# Builds the optimised native build and runs the benchmarks, which print our
# throughput beside OpenSSL's measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages
cmake --preset release >/dev/null
cmake --build --preset release
for b in build/release/bench/*_bench; do "$b" "$@"; done
