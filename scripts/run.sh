#!/usr/bin/env bash
# The main job. Until the installation medium exists, this builds the tools
# and walks the package chain once: a package and a bundle built from sample
# trees, signed with the development key, inspected and verified against the
# keys built into the programs, and unpacked again.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages
cmake --preset release >/dev/null
cmake --build --preset release
vpkg=build/release/tools/vpkg
key=keys/dev-private.key   # development key: not for release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/dhcp/bin" "$work/dhcp/etc" "$work/dns/bin"
printf '#!/bin/sh\necho dhcp\n' > "$work/dhcp/bin/dhcpd"; chmod 755 "$work/dhcp/bin/dhcpd"
printf 'lease-time 3600\n' > "$work/dhcp/etc/dhcpd.conf"
printf '#!/bin/sh\necho dns\n' > "$work/dns/bin/named"; chmod 755 "$work/dns/bin/named"
cat > "$work/dhcp.manifest" <<MANIFEST
name = dhcp
version = 6.49.3
description = DHCP server and client
depends = system min 6.49
files = dhcp
MANIFEST
cat > "$work/dns.manifest" <<MANIFEST
name = dns
version = 6.49.3
description = Name server
provides = resolver priority 10
files = dns
digest = sha256
MANIFEST

echo "== vpkg build (Ed25519 and the older scheme, SHA-1 and SHA-256)"
$vpkg build "$work/dhcp.manifest" -o "$work/dhcp-6.49.3.vpk" --key "$key"
$vpkg build "$work/dns.manifest" -o "$work/dns-6.49.3.vpk" --key "$key"
echo "== vpkg bundle"
$vpkg bundle -o "$work/network-6.49.3.vpk" --name network --version 6.49.3 --disable legacy-dhcp \
  "$work/dhcp-6.49.3.vpk" "$work/dns-6.49.3.vpk"
ls -l "$work"/*.vpk
echo "== vpkg info"
$vpkg info "$work/network-6.49.3.vpk"
echo "== vpkg verify"
$vpkg verify "$work/network-6.49.3.vpk"
echo "== vpkg extract"
$vpkg extract "$work/network-6.49.3.vpk" "$work/unpacked"
find "$work/unpacked" -type f | sed "s|$work/||" | sort
