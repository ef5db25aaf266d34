#!/usr/bin/env bash
# Builds the optimised native build and runs the benchmarks, which print our
# rates beside baselines measured in the same run (OpenSSL, zlib, mke2fs, a
# plain copy, a bare exchange), then every ratio of the run together.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages
cmake --preset release >/dev/null
cmake --build --preset release
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for b in build/release/bench/*_bench; do "$b" "$@" | tee -a "$log"; done
echo
echo "=== all ratios of this run (ours / baseline) ==="
awk '/^console bytes/ { print; next }
     /^ratio \(ours/ { inTable = 1; next }
     inTable && /[0-9]x$/ { print; next }
     { inTable = 0 }' "$log"
