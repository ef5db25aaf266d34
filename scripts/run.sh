#!/usr/bin/env bash
# The main job. Until the installation medium exists, this builds the tools
# and shows the package signing chain: a throw-away key pair and its public
# key file, as the build embeds one.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages
cmake --preset release >/dev/null
cmake --build --preset release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/release/tools/vpkg keygen "$work/demo-private.key" "$work/demo-public.key"
echo "made a throw-away key pair:"
ls -l "$work"
echo "public key file (Ed25519 key, then the older scheme's u-coordinate):"
od -An -tx1 -v "$work/demo-public.key"
