#!/usr/bin/env bash
# Installs what the build needs, builds the native debug build (with
# AddressSanitizer and UndefinedBehaviorSanitizer) and the i386 build, and runs
# every test of both, then cuts the power of a virtual machine during upgrades
# and fuzzes every parser for 30 seconds each. Exits non-zero when a test
# fails.
set -Eeuo pipefail
# A step that fails says which one, even where the command itself is silent.
trap 's=$?; echo "${BASH_SOURCE[0]##*/}: failed (status $s) at line $LINENO: $BASH_COMMAND" >&2' ERR
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages

status=0
for preset in debug i386; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset tests"
  ctest --preset "$preset" || status=1
done
# Power cuts during an upgrade in a virtual machine: the installer with the
# engine's crash seam, without the sanitizers, in the machine's initramfs.
echo "=== power cuts (seam build)"
cmake --preset seam >/dev/null
cmake --build --preset seam
bash tests/vm/power_cut.sh build/seam 10 || status=1
echo "=== fuzz (30 s each)"
bash scripts/fuzz.sh 30 || status=1
exit $status
