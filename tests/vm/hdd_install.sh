#!/usr/bin/env bash
# init as process 1 of a distribution kernel, started with -hdd-install, on a
# machine whose only disk is the FAT installation medium vmedia makes, booted
# by the BIOS and syslinux: unattended with a boot record of its own, with
# CHOOSE (the menu), with VM, and the refusals that must leave the disk as it
# was; each checked from the host.
# usage: hdd_install.sh BUILD-DIR [EMULATOR]
set -uo pipefail
build=$(cd "$1" && pwd)
emulator=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
. "$source_dir/scripts/vm/kit.sh"
. "$source_dir/scripts/vm/sample_medium.sh"
. "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-hdd.XXXXXX")
trap 'rm -rf "$work"' EXIT
disk=$work/disk.img
data="$disk?offset=$QV_VM_DATA_OFFSET"

boot() {  # boot LOG STEPS...
  local log=$1; shift
  qv_vm_boot_disk "$disk" \
    python3 "$source_dir/scripts/vm/drive.py" --log "$log" --timeout 600 "$@" -- >/dev/null
}
installed_list() { qv_vm_installed_list "$disk" "$work/root" $emulator "$build/installer/installer"; }

# medium VMEDIA-OPTION...: a new 160 MiB disk holding the hard-disk medium that
# vmedia makes of the sample packages, and then the tampered package, which
# vmedia itself refuses to put on a medium.
medium() {
  rm -f "$disk"
  qv_vm_media $emulator "$build/tools/vmedia" hdd "$disk" "$work/packages"/*.vpk --size 160M \
    --init "$build/init/init-stripped" "$@" >/dev/null || { fail "vmedia hdd $*"; return 1; }
  MTOOLS_SKIP_CHECK=1 mcopy -i "$disk" "$work/extra.vpk" ::/ || fail "mcopy of the tampered package"
}
remove() { MTOOLS_SKIP_CHECK=1 mdel -i "$disk" "::/$1" || fail "mdel $1"; }  # remove FILE: off the medium

qv_vm_kernel || { echo "no kernel for the virtual machine"; exit 1; }
qv_sample_medium "$work/packages" "$emulator $build/tools/vpkg" "$build/tests/ruel-probe" || { echo "no packages"; exit 1; }
rm -f "$work/packages/defpacks"
# A package whose bytes were changed after signing: the engine refuses it.
mkdir -p "$work/extra/etc"
printf 'tampered\n' > "$work/extra/etc/extra.conf"
printf 'name = extra\nversion = 6.49.21\nbuild-time = 1\nfiles = %s\ndepends = system\n' "$work/extra" > "$work/extra.manifest"
$emulator "$build/tools/vpkg" build "$work/extra.manifest" -o "$work/extra.vpk" \
  --key "$source_dir/keys/dev-private.key" >/dev/null || { echo "no extra package"; exit 1; }
size=$(stat -c %s "$work/extra.vpk")
printf 'X' | dd of="$work/extra.vpk" bs=1 seek=$((size - 200)) conv=notrunc 2>/dev/null
# Forty-eight more, for a medium of more than fifty packages.
mkdir -p "$work/many"
for n in $(seq -w 1 48); do
  mkdir -p "$work/tree$n/etc"
  printf '%s\n' "$n" > "$work/tree$n/etc/p$n"
  printf 'name = p%s\nversion = 6.49.21\nbuild-time = 1\nfiles = %s\ndepends = system\n' "$n" "$work/tree$n" > "$work/p$n.manifest"
  $emulator "$build/tools/vpkg" build "$work/p$n.manifest" -o "$work/many/p$n.vpk" \
    --key "$source_dir/keys/dev-private.key" >/dev/null || { echo "no package p$n"; exit 1; }
done
# A boot record of the medium's own: 446 bytes of code, a blank table, the signature.
{ head -c 446 /dev/urandom; head -c 64 /dev/zero; printf '\x55\xaa'; } > "$work/mbr"
builtin=$build/init/disk/boot_program.bin
printf 'ip address add 192.0.2.1/24\n' > "$work/autorun"

echo "== unattended: all packages, the medium's boot record, reboot without a key"
medium --autorun "$work/autorun" --mbr "$work/mbr"
boot "$work/unattended.log" "expect:Rebooting..." || fail "the unattended run did not end"
in_order "$work/unattended.log" "hard disk installation" "Loading drivers" "Looking for harddrives..." \
  "Reading: system-6.49.21..." "Reading: ppp-6.49.21..." "Creating partition..." "Formatting data partition 100%" \
  "Formatting boot partition 100%" "installing system-6.49.21" "installing ppp-6.49.21" "Software installed." "Rebooting..."
for text in "Reading: dhcp-6.49.21..." "Reading: extra-6.49.21..." "installing dhcp-6.49.21" \
  "installation of extra-6.49.21 failed: broken package"; do
  plain "$work/unattended.log" | grep -qF "$text" || fail "\"$text\" missing"
done
grep -q "Press ENTER" "$work/unattended.log" && fail "the unattended run asked for a key"
cmp -s -n 446 "$disk" "$work/mbr" || fail "sector 0 does not hold the medium's boot record"
table=$(sfdisk --dump "$disk" | grep '^/')
[ "$table" = "${disk}1 : start=           1, size=       65536, type=83, bootable
${disk}2 : start=       65537, size=      262143, type=83" ] || fail "partition table: $table"
fsck_clean "$disk" 512
fsck_clean "$disk" "$QV_VM_DATA_OFFSET"
[ "$(debugfs -R "cat /rw/autorun.scr" "$data" 2>/dev/null)" = "$(cat "$work/autorun")" ] || fail "/rw/autorun.scr differs"
debugfs -R "stat /etc/extra.conf" "$data" 2>&1 | grep -q "not found" || fail "the tampered package's file is there"
list=$(installed_list)
echo "$list"
for name in system ppp dhcp; do
  echo "$list" | grep -Eq "^ *$name +6\.49\.21" || fail "installer --show does not list $name"
done
echo "$list" | grep -q "extra" && fail "the tampered package is listed"

echo "== VM, an empty autorun.scr and 52 packages: no questions, the built-in boot program"
: > "$work/empty"
medium --autorun "$work/empty" --vm "$work/many"/*.vpk
boot "$work/vm.log" "expect:Rebooting..." || fail "the VM run did not end"
in_order "$work/vm.log" "Looking for harddrives..." "Creating partition..." "Software installed." "Rebooting..."
cmp -s -n "$(stat -c %s "$builtin")" "$disk" "$builtin" || fail "sector 0 does not hold the built-in boot program (VM)"
debugfs -R "stat /rw/ENABLE_X86_64" "$data" 2>/dev/null | grep -q "Size: 0" || fail "no empty /rw/ENABLE_X86_64"
debugfs -R "stat /rw/autorun.scr" "$data" 2>/dev/null | grep -q "Size: 0" || fail "/rw/autorun.scr is not empty"
list=$(installed_list)
[ "$(echo "$list" | grep -cE '^ *(system|ppp|dhcp|p[0-9][0-9]) +6\.49\.21')" -eq 51 ] || fail "not all 51 good packages are listed"
[ "$(debugfs -R "cat /etc/p48" "$data" 2>/dev/null)" = 48 ] || fail "the last package's file is missing"

printf 'x' > "$work/x"
echo "== CHOOSE: the menu drives the selection"
medium --autorun "$work/x" --choose
boot "$work/choose.log" "expect:cancel and reboot." "send:i" "expect:Rebooting..." ||
  fail "the CHOOSE run did not end"
in_order "$work/choose.log" "Welcome to Korvanet Router Software installation" "Creating partition..." \
  "installing system-6.49.21" "Software installed." "Rebooting..."
cmp -s -n "$(stat -c %s "$builtin")" "$disk" "$builtin" || fail "sector 0 does not hold the built-in boot program (CHOOSE)"
list=$(installed_list)
echo "$list"
echo "$list" | grep -Eq "^ *system +6\.49\.21" || fail "CHOOSE: system is not installed"

echo "== Ctrl-Alt-Delete (from qemu's monitor) while the menu waits: the installation is aborted"
medium --autorun "$work/x" --choose
boot "$work/abort.log" "expect:cancel and reboot." "send:\x01c" "send:sendkey ctrl-alt-delete\r" "send:\x01c" \
  "expect:Installation aborted" "expect:Press ENTER to reboot" "send:\r" "expect:reboot: Restarting system" ||
  fail "the aborted run did not end"
in_order "$work/abort.log" "Installation aborted" "Press ENTER to reboot" "reboot: Restarting system"
grep -q "Creating partition" "$work/abort.log" && fail "the aborted run prepared the disk"

echo "== refusals that leave the disk as it was"
medium --autorun "$work/x"
remove mbr
before=$(sha256sum < "$disk")
boot "$work/nombr.log" "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." || fail "the run without mbr did not end"
in_order "$work/nombr.log" "FATAL ERROR: Couldn't open mbr file" "Press ENTER to reboot" "Rebooting..."
[ "$(sha256sum < "$disk")" = "$before" ] || fail "the run without mbr changed the disk"
medium --autorun "$work/x"
remove autorun.scr
before=$(sha256sum < "$disk")
boot "$work/noscript.log" "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." || fail "the run without autorun.scr did not end"
in_order "$work/noscript.log" "Looking for harddrives..." "FATAL ERROR: No hard disk found" "Press ENTER to reboot"
[ "$(sha256sum < "$disk")" = "$before" ] || fail "the run without autorun.scr changed the disk"

if [ "$failures" -ne 0 ]; then
  for log in "$work"/*.log; do echo "== serial console of $(basename "$log")"; plain "$log" | tail -25; done
  exit 1
fi
echo "all hard-disk installation checks passed"
