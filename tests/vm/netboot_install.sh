#!/usr/bin/env bash
# The network installation from its first step: machines with an e1000 card
# on taps in a network namespace made by this test boot by PXE (-boot n, no
# -kernel): vserve --netboot leases their addresses and sends pxelinux, the
# kernel and the initramfs by TFTP (dnsmasq), init runs as process 1, fetches
# the driver package, installs every package, receives its script, answers
# TERM and reboots. Two machines at once; then beside another DHCP server on
# the segment, vserve refuses to start, and with --proxy-dhcp boots one more.
# usage: netboot_install.sh BUILD-DIR [EMULATOR]
set -uo pipefail
build=$(cd "$1" && pwd)
emulator=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
. "$source_dir/scripts/vm/kit.sh"
. "$source_dir/scripts/vm/sample_medium.sh"
. "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-netboot.XXXXXX")
space=qv-pxe-$$
rogue=qv-dhcp-$$
cleanup() {
  [ -n "${server:-}" ] && kill "$server" 2>/dev/null
  [ -n "${other_dhcp:-}" ] && kill "$other_dhcp" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$space" 2>/dev/null
  ip netns del "$rogue" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

qv_vm_kernel || { echo "no kernel for the virtual machine"; exit 1; }
qv_sample_medium "$work/packages" "$emulator $build/tools/vpkg" "$build/tests/ruel-probe" || { echo "no packages"; exit 1; }
qv_driver_package "$work/drivers.vpk" "$emulator $build/tools/vpkg" || { echo "no driver package"; exit 1; }
qv_vm_media $emulator "$build/tools/vmedia" net "$work/tftp" --init "$build/init/init-stripped" >/dev/null ||
  { echo "no network boot tree"; exit 1; }

# The segment: a bridge with an address (and a unique local IPv6 address for
# the router advertisements the PXE firmware waits for), a tap per machine.
ns() { ip netns exec "$space" "$@"; }
qv_vm_segment "$space" qvtap0 qvtap1 && ns ip addr add 10.0.2.1/24 dev qvbr0 &&
  ns ip addr add fd00:5::1/64 dev qvbr0 nodad || exit 1

# serve LOG MACHINES VSERVE-OPTION...: vserve --netboot in the background.
serve() {
  local log=$1 machines=$2; shift 2
  ns $emulator "$build/tools/vserve" --interface qvbr0 --driver "$work/drivers.vpk" --machines "$machines" \
    --netboot "$work/tftp" "$@" "$work/packages/system.vpk" "$work/packages/ppp.vpk" "$work/packages/dhcp.vpk" \
    > "$log" 2>&1 &
  server=$!
}
# machine LOG DISK TAP MAC: a machine booted from the network until it reboots.
machine() {
  python3 "$source_dir/scripts/vm/drive.py" --log "$1" --timeout 900 "expect:Rebooting..." -- \
    ip netns exec "$space" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -boot n \
    -drive "file=$2,format=raw,if=ide,index=0" \
    -netdev tap,id=n0,ifname=$3,script=no,downscript=no -device e1000,netdev=n0,mac=$4 >/dev/null ||
    { fail "the run $(basename "$1") did not end"; return 1; }
}
served() {
  wait "$server" || fail "vserve did not end after the installations"
  server=
}
# check_disk DISK SCRIPT-NAME: the installed system, read from the host.
check_disk() {
  fsck_clean "$1" 512
  fsck_clean "$1" "$QV_VM_DATA_OFFSET"
  local data="$1?offset=$QV_VM_DATA_OFFSET" list
  [ "$(debugfs -R "cat /$2" "$data" 2>/dev/null)" = "/system identity set name=${2%.scr}" ] ||
    fail "$(basename "$1") did not get its script $2"
  [ "$(debugfs -R "cat /ruel-ran" "$data" 2>/dev/null)" = "$(printf '/bin/ruel\nruel')" ] || fail "the loader did not run"
  list=$(qv_vm_installed_list "$1" "$work/root-$2" $emulator "$build/installer/installer")
  for name in system ppp dhcp; do
    echo "$list" | grep -Eq "^ *$name +6\.49\.21" || fail "installer --show does not list $name on $(basename "$1")"
  done
}

echo "== two machines booted and installed at once from one vserve --netboot"
for n in a b; do
  truncate -s 256M "$work/disk-$n.img"
  mkdir -p "$work/machine-$n"
  printf '/system identity set name=%s\n' "$n" > "$work/machine-$n/$n.scr"
done
serve "$work/two.log.server" 2 --dhcp-range 10.0.2.50,10.0.2.99 \
  --machine "52:54:00:00:00:0a=$work/machine-a" --machine "52:54:00:00:00:0b=$work/machine-b"
machine "$work/two-a.log" "$work/disk-a.img" qvtap0 52:54:00:00:00:0a &
other=$!
machine "$work/two-b.log" "$work/disk-b.img" qvtap1 52:54:00:00:00:0b
wait "$other" || fail "machine a did not end"
served
for n in a b; do
  N=${n^^}  # MACs are shown in capitals
  in_order "$work/two-$n.log" "remote installation" "mac-address: 52:54:00:00:00:0$N" "Retrieving drivers..." \
    "Found server at" "installing system-6.49.21" "installing dhcp-6.49.21" "Writing configuration..." \
    "Software installed." "Rebooting..."
  in_order "$work/two.log.server" "52:54:00:00:00:0$N leased 10.0.2." "52:54:00:00:00:0$N loaded pxelinux.0" \
    "52:54:00:00:00:0$N loaded boot/vmlinuz" "52:54:00:00:00:0$N loaded boot/initrd.img"
  grep -q "^52:54:00:00:00:0$N installation ended" "$work/two.log.server" || fail "vserve saw no end for $n"
  check_disk "$work/disk-$n.img" "$n.scr"
done

echo "== beside another DHCP server: refused, then proxy DHCP"
ip netns add "$rogue" && ns ip link add qvrg0 type veth peer name eth0 netns "$rogue" &&
  ns ip link set qvrg0 master qvbr0 && ns ip link set qvrg0 up &&
  ip netns exec "$rogue" ip addr add 10.0.2.2/24 dev eth0 && ip netns exec "$rogue" ip link set eth0 up ||
  fail "no second DHCP server's namespace"
ip netns exec "$rogue" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --interface=eth0 --bind-interfaces \
  --leasefile-ro --pid-file --dhcp-range=10.0.2.150,10.0.2.199,255.255.255.0,10m --dhcp-authoritative --no-ping \
  --log-facility=- --user=root > "$work/other-dhcp.log" 2>&1 &
other_dhcp=$!
serve "$work/refused.log.server" 1 --dhcp-range 10.0.2.50,10.0.2.99
wait "$server"
status=$?
server=
[ "$status" -eq 1 ] || fail "vserve started beside another DHCP server (status $status)"
grep -q "vserve: another DHCP server answers on qvbr0" "$work/refused.log.server" ||
  fail "no message about the other DHCP server: $(cat "$work/refused.log.server")"
truncate -s 256M "$work/disk-p.img"
mkdir -p "$work/machine-p"
printf '/system identity set name=p\n' > "$work/machine-p/p.scr"
serve "$work/proxy.log.server" 1 --proxy-dhcp --machine "52:54:00:00:00:0c=$work/machine-p"
machine "$work/proxy.log" "$work/disk-p.img" qvtap0 52:54:00:00:00:0c
served
in_order "$work/proxy.log.server" "52:54:00:00:00:0C loaded boot/initrd.img" "52:54:00:00:00:0C installation ended"
grep -q "DHCPACK(eth0) 10.0.2.1[5-9][0-9] 52:54:00:00:00:0c" "$work/other-dhcp.log" ||
  fail "the other DHCP server did not lease the address"
check_disk "$work/disk-p.img" "p.scr"

if [ "$failures" -ne 0 ]; then
  for log in "$work"/*.log; do echo "== $(basename "$log")"; plain "$log" | tail -25; cat "$log.server" 2>/dev/null; done
  cat "$work/other-dhcp.log" 2>/dev/null
  exit 1
fi
echo "all network boot checks passed"
