#!/usr/bin/env bash
# init as process 1 of a distribution kernel in a virtual machine booted from
# the disc vmedia makes (BIOS, isolinux, kernel): a CD-ROM installation onto a
# blank disk, then a reinstallation that keeps the old configuration, each
# checked from the host with e2fsprogs, sfdisk and the installer itself; and
# the disk image vdisk install writes from the same packages, compared with
# the one the installation wrote.
# usage: cdrom_install.sh BUILD-DIR [EMULATOR]
set -uo pipefail
build=$(cd "$1" && pwd)
emulator=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
. "$source_dir/scripts/vm/kit.sh"
. "$source_dir/scripts/vm/sample_medium.sh"
. "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT

data_offset=$QV_VM_DATA_OFFSET
data="$work/disk.img?offset=$data_offset"

# Each step waits for the machine's output, never for a time; the deadline
# only ends a machine that hangs (emulated on a loaded host, a run can take
# several times as long as on an idle one).
boot() {  # boot LOG STEPS...
  local log=$1; shift
  qv_vm_boot_cd "$work/cd.iso" "$work/disk.img" \
    python3 "$source_dir/scripts/vm/drive.py" --log "$log" --timeout 600 "$@" -- >/dev/null
}

qv_vm_kernel || { echo "no kernel for the virtual machine"; exit 1; }
qv_sample_medium "$work/cd" "$emulator $build/tools/vpkg" "$build/tests/ruel-probe" || { echo "no medium"; exit 1; }
qv_vm_media $emulator "$build/tools/vmedia" cd "$work/cd.iso" "$work"/cd/*.vpk --defpacks "$work/cd/defpacks" \
  --init "$build/init/init-stripped" >/dev/null || { echo "no disc"; exit 1; }
truncate -s 256M "$work/disk.img"

echo "== cancelling on the menu, then answering no to \"Continue?\": the disk stays untouched"
boot "$work/cancelled.log" "expect:cancel and reboot." "send:q" "expect:Press ENTER to reboot" "send:\r" \
  "expect:Rebooting..." || fail "the cancelled run did not end"
in_order "$work/cancelled.log" "Installation canceled" "Press ENTER to reboot" "Rebooting..."
boot "$work/declined.log" "expect:cancel and reboot." "send:i" \
  "expect:Do you want to keep old configuration?  [y/n]:" "send:n" "expect:Continue? [y/n]:" "send:n" \
  "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." || fail "the declined run did not end"
in_order "$work/declined.log" "Continue? [y/n]:n" "Press ENTER to reboot" "Rebooting..."
grep -q "Creating partition" "$work/declined.log" && fail "the declined run prepared the disk"
[ -z "$(tr -d '\0' < "$work/disk.img" | head -c 1)" ] || fail "the declined run wrote to the disk"

echo "== first installation: all packages, a fresh configuration"
boot "$work/first.log" "expect:cancel and reboot." "send:a" "send:i" \
  "expect:Do you want to keep old configuration?  [y/n]:" "send:n" "expect:Continue? [y/n]:" "send:y" \
  "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." || fail "the first installation did not run through"
in_order "$work/first.log" "Loading drivers" "Found harddrive as SATA 1" "Welcome to Korvanet Router Software installation" \
  "[X] system" "Do you want to keep old configuration?  [y/n]:n" "Warning: all data on the disk will be erased!" \
  "Continue? [y/n]:y" "Creating partition..." "Formatting data partition 100%" "Formatting boot partition 100%" \
  "installing system-6.49.21" "installing ppp-6.49.21" "installing dhcp-6.49.21" "Software installed." \
  "Press ENTER to reboot" "Rebooting..."
# Where the installation spends its time, so that a regression shows.
time_profile "$work/first.log" "Loading drivers" "Welcome to Korvanet" "Creating partition..." \
  "Formatting data partition 100%" "Formatting boot partition 100%" "installing system-6.49.21" \
  "installing ppp-6.49.21" "installing dhcp-6.49.21" "Software installed." "Rebooting..."

table=$(sfdisk --dump "$work/disk.img" | grep '^/\|img[12]')
[ "$table" = "$work/disk.img1 : start=           1, size=       65536, type=83, bootable
$work/disk.img2 : start=       65537, size=      458751, type=83" ] || fail "partition table: $table"
fsck_clean "$work/disk.img" 512
fsck_clean "$work/disk.img" "$data_offset"
debugfs -R "stat /rw/REBOOT" "$data" 2>/dev/null | grep -q "Size: 0" || fail "no empty /rw/REBOOT"
[ "$(debugfs -R "cat /ruel-ran" "$data" 2>/dev/null)" = "$(printf '/bin/ruel\nruel')" ] || fail "the loader did not run"
[ "$(debugfs -R "cat /etc/ppp/options" "$data" 2>/dev/null)" = "noauth" ] || fail "ppp's file is missing"
list=$(qv_vm_installed_list "$work/disk.img" "$work/root" $emulator "$build/installer/installer")
echo "$list"
for name in system ppp dhcp; do
  echo "$list" | grep -Eq "^ *$name +6\.49\.21" || fail "installer -r does not list $name"
done

echo "== vdisk install of the same packages writes the same disk"
cp --sparse=always "$work/disk.img" "$work/installed.img"
$emulator "$build/tools/vdisk" install "$work/ready.img" "$work"/cd/*.vpk --size 256M > "$work/vdisk.log" 2>&1 ||
  { cat "$work/vdisk.log"; fail "vdisk install failed"; }
grep -q "Not run on this host: the installed system's post-install programs" "$work/vdisk.log" ||
  fail "vdisk install does not say that the post-install programs did not run"
cmp -s -n 512 "$work/installed.img" "$work/ready.img" || fail "sector 0 differs from the installed disk's"
[ "$(sfdisk --dump "$work/ready.img" | grep '^/' | sed 's/ready.img/DISK/')" = \
  "$(sfdisk --dump "$work/installed.img" | grep '^/' | sed 's/installed.img/DISK/')" ] || fail "partition tables differ"
for offset in 512 "$data_offset"; do
  fsck_clean "$work/ready.img" "$offset"
  # The CD's post-install program (the probe) wrote /ruel-ran; vdisk runs none.
  diff <(tree_listing "$work/installed.img" "$offset" | grep -v ' \./ruel-ran') \
    <(tree_listing "$work/ready.img" "$offset") > "$work/listing.diff" ||
    { head -20 "$work/listing.diff"; fail "the files at offset $offset differ"; }
done
[ "$(qv_vm_installed_list "$work/ready.img" "$work/root" $emulator "$build/installer/installer")" = \
  "$(qv_vm_installed_list "$work/installed.img" "$work/root" $emulator "$build/installer/installer")" ] ||
  fail "installer --show lists other packages"
qv_vm_boot_disk "$work/ready.img" \
  python3 "$source_dir/scripts/vm/drive.py" --log "$work/ready-boot.log" --timeout 300 --stop "expect:Missing operating system" \
  -- >/dev/null || fail "the ready image's boot program did not run"
rm -f "$work/installed.img" "$work/ready.img"

echo "== second installation: keep the configuration of the first"
printf 'ip address add 192.0.2.1/24\n' > "$work/settings"
printf 'user\n' > "$work/disabled"
debugfs -w -R "mkdir /vela/store" "$data" >/dev/null 2>&1
debugfs -w -f - "$data" >/dev/null 2>&1 <<COMMANDS
mkdir /vela/store/nested
write $work/settings /vela/store/nested/settings
write $work/disabled /var/pdb/dhcp/disabled
COMMANDS
boot "$work/second.log" "expect:cancel and reboot." "send:a" "send:i" \
  "expect:Do you want to keep old configuration?  [y/n]:" "send:y" "expect:Continue? [y/n]:" "send:y" \
  "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." || fail "the second installation did not run through"
in_order "$work/second.log" "Do you want to keep old configuration?  [y/n]:y" "Reading old configuration..." \
  "Creating partition..." "Formatting data partition 100%" "Writing back old configuration..." "Software installed."
fsck_clean "$work/disk.img" "$data_offset"
[ "$(debugfs -R "cat /vela/store/nested/settings" "$data" 2>/dev/null)" = "ip address add 192.0.2.1/24" ] ||
  fail "the kept store is missing"
list=$(qv_vm_installed_list "$work/disk.img" "$work/root" $emulator "$build/installer/installer")
echo "$list"
echo "$list" | grep -Eq "^ *dhcp +X" || fail "dhcp, disabled by the user, is no longer disabled"
echo "$list" | grep -Eq "^ *ppp +6\.49\.21" || fail "ppp is not listed as enabled"

if [ "$failures" -ne 0 ]; then
  echo "== serial console of the last run"; plain "$work/second.log" | tail -40
  exit 1
fi
echo "all checks passed"
