#!/usr/bin/env bash
# init as process 1 of a distribution kernel whose medium says "net", on a
# machine with an e1000 card on a tap in a network namespace made by this
# test, installed by vserve from the same namespace: the driver package (the
# storage drivers: the initramfs carries none) in direct mode, every package,
# the script or the reset rule, the kept configuration on a second run, the
# WTRM/TERM handshake and the reboot without a key; each checked from the host.
# usage: net_install.sh BUILD-DIR [EMULATOR]
set -uo pipefail
build=$(cd "$1" && pwd)
emulator=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
. "$source_dir/scripts/vm/kit.sh"
. "$source_dir/scripts/vm/sample_medium.sh"
. "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-net.XXXXXX")
space=qv-net-$$
cleanup() {
  [ -n "${server:-}" ] && kill "$server" 2>/dev/null
  ip netns del "$space" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
disk=$work/disk.img
data="$disk?offset=$QV_VM_DATA_OFFSET"

qv_vm_kernel || { echo "no kernel for the virtual machine"; exit 1; }
qv_sample_medium "$work/packages" "$emulator $build/tools/vpkg" "$build/tests/ruel-probe" || { echo "no packages"; exit 1; }
qv_driver_package "$work/drivers.vpk" "$emulator $build/tools/vpkg" || { echo "no driver package"; exit 1; }
qv_vm_media $emulator "$build/tools/vmedia" net "$work/net" --init "$build/init/init-stripped" >/dev/null ||
  { echo "no network boot files"; exit 1; }
append=$(sed -n 's/^ *APPEND //p' "$work/net/pxelinux.cfg/default" | sed 's|initrd=[^ ]* ||')

# The segment: a bridge in the namespace with a tap per machine; vserve on the bridge.
ns() { ip netns exec "$space" "$@"; }
qv_vm_segment "$space" qvtap0 qvtap1 || exit 1

# serve LOG MACHINES VSERVE-OPTION...: vserve in the background until MACHINES have ended.
serve() {
  local log=$1 machines=$2; shift 2
  ns $emulator "$build/tools/vserve" --interface qvbr0 --driver "$work/drivers.vpk" --machines "$machines" \
    "$@" "$work/packages/system.vpk" "$work/packages/ppp.vpk" "$work/packages/dhcp.vpk" > "$log" 2>&1 &
  server=$!
}
# machine LOG DISK TAP MAC: one machine booted until it reboots.
machine() {
  python3 "$source_dir/scripts/vm/drive.py" --log "$1" --timeout 600 "expect:Rebooting..." -- \
    ip netns exec "$space" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot \
    -kernel "$work/net/boot/vmlinuz" -initrd "$work/net/boot/initrd.img" -append "$append" \
    -drive "file=$2,format=raw,if=ide,index=0" \
    -netdev tap,id=n0,ifname=$3,script=no,downscript=no -device e1000,netdev=n0,mac=$4 >/dev/null ||
    { fail "the run $(basename "$1") did not end"; return 1; }
}
served() {  # the server has ended by itself
  wait "$server" || fail "vserve did not end after the installations"
  server=
}
# install LOG VSERVE-OPTION...: vserve for one machine, and that machine booted.
install() {
  local log=$1; shift
  serve "$log.server" 1 "$@"
  machine "$log" "$disk" qvtap0 52:54:00:12:34:56
  served
}
installed_list() { qv_vm_installed_list "$disk" "$work/root" $emulator "$build/installer/installer"; }

truncate -s 256M "$disk"
printf '/system identity set name=router\n' > "$work/router.scr"
echo "== a whole network installation with a script"
install "$work/first.log" --script "$work/router.scr"
in_order "$work/first.log" "remote installation" "mac-address: " "Waiting for drivers..." "Retrieving drivers..." \
  "Loading drivers" "Found harddrive as SATA 1" "disk label: Korvanet" "Waiting for installation server..." \
  "Found server at" "Creating partition..." "Formatting data partition 100%" "installing system-6.49.21" \
  "installing ppp-6.49.21" "installing dhcp-6.49.21" "Writing configuration..." "Software installed." \
  "Press ENTER to reboot" "Rebooting..."
in_order "$work/first.log.server" "asks for drivers: offering drivers.vpk" "found the server" "sending system.vpk" \
  "sending ppp.vpk" "sending dhcp.vpk" "sending router.scr" "installation ended"
table=$(sfdisk --dump "$disk" | grep '^/')
[ "$table" = "${disk}1 : start=           1, size=       65536, type=83, bootable
${disk}2 : start=       65537, size=      458751, type=83" ] || fail "partition table: $table"
fsck_clean "$disk" 512
fsck_clean "$disk" "$QV_VM_DATA_OFFSET"
[ "$(debugfs -R "cat /router.scr" "$data" 2>/dev/null)" = "$(cat "$work/router.scr")" ] || fail "the script is not /router.scr"
debugfs -R "stat /rw/RESET" "$data" 2>&1 | grep -q "not found" || fail "a reset rule beside a script"
[ "$(debugfs -R "cat /ruel-ran" "$data" 2>/dev/null)" = "$(printf '/bin/ruel\nruel')" ] || fail "the loader did not run"
list=$(installed_list)
echo "$list"
for name in system ppp dhcp; do
  echo "$list" | grep -Eq "^ *$name +6\.49\.21" || fail "installer --show does not list $name"
done
echo "$list" | grep -q drivers && fail "the driver package went onto the new system"

echo "== keep, no script: the configuration is kept, no reset"
printf 'ip address add 192.0.2.1/24\n' > "$work/settings"
debugfs -w -R "mkdir /vela/store" "$data" >/dev/null 2>&1
debugfs -w -R "write $work/settings /vela/store/settings" "$data" >/dev/null 2>&1
install "$work/keep.log" --keep
in_order "$work/keep.log" "Found server at" "Reading old configuration..." "Creating partition..." \
  "Writing back old configuration..." "Software installed." "Rebooting..."
fsck_clean "$disk" "$QV_VM_DATA_OFFSET"
[ "$(debugfs -R "cat /vela/store/settings" "$data" 2>/dev/null)" = "ip address add 192.0.2.1/24" ] || fail "the store was not kept"
debugfs -R "stat /rw/RESET" "$data" 2>&1 | grep -q "not found" || fail "a reset rule beside keep"

echo "== neither a script nor keep: the new system resets itself"
install "$work/reset.log"
[ "$(debugfs -R "cat /rw/RESET" "$data" 2>/dev/null)" = ". /vela/lib/reset/reset" ] || fail "no reset rule"

echo "== two machines at once from one server, each with its own script"
for n in a b; do
  truncate -s 256M "$work/disk-$n.img"
  mkdir -p "$work/machine-$n"
  printf '/system identity set name=router-%s\n' "$n" > "$work/machine-$n/$n.scr"
done
serve "$work/two.log.server" 2 --machine "52:54:00:00:00:0a=$work/machine-a" --machine "52:54:00:00:00:0b=$work/machine-b"
machine "$work/two-a.log" "$work/disk-a.img" qvtap0 52:54:00:00:00:0a &
other=$!
machine "$work/two-b.log" "$work/disk-b.img" qvtap1 52:54:00:00:00:0b
wait "$other" || fail "machine a did not end"
served
for n in a b; do
  [ "$(debugfs -R "cat /$n.scr" "$work/disk-$n.img?offset=$QV_VM_DATA_OFFSET" 2>/dev/null)" = "/system identity set name=router-$n" ] ||
    fail "machine $n did not get its own script"
  in_order "$work/two-$n.log" "Found server at" "installing dhcp-6.49.21" "Writing configuration..." "Rebooting..."
done

if [ "$failures" -ne 0 ]; then
  for log in "$work"/*.log; do echo "== serial console of $(basename "$log")"; plain "$log" | tail -25; cat "$log.server"; done
  exit 1
fi
echo "all network installation checks passed"
