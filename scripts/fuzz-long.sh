#!/usr/bin/env bash
# Every fuzz target for 10 minutes each (scripts/fuzz.sh with 600 seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash scripts/fuzz.sh 600
