#!/usr/bin/env bash
# The main job: a whole installation into a new virtual disk. Builds init (the
# static i386 program), the installer, the package tool and the media tool;
# makes three sample packages (signed with the development key, which is not
# for release) and a bootable installation disc of them; boots a PC in qemu
# from that disc (its BIOS, isolinux, a distribution kernel, init as process
# 1) with the serial console on this terminal, so that you choose the packages
# and answer its questions (leave qemu with Ctrl-A X); and lists what was
# installed, read from the new disk image.
#
#   bash scripts/run.sh                 you answer on the terminal
#   bash scripts/run.sh --unattended    the script answers: all packages, fresh configuration
#   bash scripts/run.sh --hdd [--choose] [--unattended]
#                                       the hard-disk installation instead: the new disk
#                                       is first written as the bootable FAT medium
#                                       (packages, autorun.scr, a boot record) and
#                                       installs itself; with --choose you pick the
#                                       packages on the menu
set -Eeuo pipefail
# A step that fails says which one, even where the command itself is silent.
trap 's=$?; echo "${BASH_SOURCE[0]##*/}: failed (status $s) at line $LINENO: $BASH_COMMAND" >&2' ERR
cd "$(dirname "$0")/.."
. scripts/setup.sh
qv_install_packages
unattended=no hdd=no choose=no
for argument in "$@"; do
  case "$argument" in
    --unattended) unattended=yes ;;
    --hdd) hdd=yes ;;
    --choose) choose=yes ;;
    *) echo "usage: bash scripts/run.sh [--unattended] [--hdd [--choose]]" >&2; exit 2 ;;
  esac
done

cmake --preset i386 >/dev/null
cmake --build build/i386 --target init installer vpkg vmedia ruel_probe
build=$PWD/build/i386
emulator=/usr/bin/qemu-i386-static   # this machine's kernel may not run 32-bit programs itself

. scripts/vm/kit.sh
. scripts/vm/sample_medium.sh
out=$QV_VM_CACHE/run
rm -rf "$out" && mkdir -p "$out"
echo "== the machine's kernel (fetched once with apt-get download)"
qv_vm_kernel
echo "== the sample packages: $out/cd"
qv_sample_medium "$out/cd" "$emulator $build/tools/vpkg" "$build/tests/ruel-probe"
ls -l "$out/cd"
if [ "$hdd" = yes ]; then
  # The medium is the new disk itself: it boots, installs itself onto the
  # disk it was written on, and leaves the installer's own boot program there.
  printf '/system identity set name=router\n' > "$out/autorun.scr"
  options=(--autorun "$out/autorun.scr" --size 1G)
  [ "$choose" = yes ] && options+=(--choose)
  echo "== a new 1 GiB disk written as the hard-disk installation medium: $out/disk.img"
  qv_vm_media $emulator "$build/tools/vmedia" hdd "$out/disk.img" "$out"/cd/*.vpk "${options[@]}"
  if [ "$unattended" = yes ] && [ "$choose" = yes ]; then
    qv_vm_boot_disk "$out/disk.img" \
      python3 scripts/vm/drive.py --log "$out/console.log" --timeout 900 "expect:cancel and reboot." "send:a" "send:i" \
      "expect:Rebooting..." --
  elif [ "$unattended" = yes ]; then
    qv_vm_boot_disk "$out/disk.img" \
      python3 scripts/vm/drive.py --log "$out/console.log" --timeout 900 "expect:Rebooting..." --
  else
    echo "Booting: the installer finds its medium and installs itself; qemu ends when it reboots (or press Ctrl-A X)."
    qv_vm_boot_disk "$out/disk.img"
  fi
else
  echo "== the installation disc: $out/cd.iso"
  qv_vm_media $emulator "$build/tools/vmedia" cd "$out/cd.iso" "$out"/cd/*.vpk --defpacks "$out/cd/defpacks"
  truncate -s 1G "$out/disk.img"
  echo "== a new 1 GiB disk: $out/disk.img"
  if [ "$unattended" = yes ]; then
    qv_vm_boot_cd "$out/cd.iso" "$out/disk.img" \
      python3 scripts/vm/drive.py --log "$out/console.log" --timeout 900 \
      "expect:cancel and reboot." "send:a" "send:i" \
      "expect:Do you want to keep old configuration?  [y/n]:" "send:n" "expect:Continue? [y/n]:" "send:y" \
      "expect:Press ENTER to reboot" "send:\r" "expect:Rebooting..." --
  else
    echo "Booting the disc: choose the packages on the menu; qemu ends when the installer reboots (or press Ctrl-A X)."
    sleep 2
    qv_vm_boot_cd "$out/cd.iso" "$out/disk.img"
  fi
fi

echo
echo "== partition table"
sfdisk --dump "$out/disk.img" | grep '^/' || true
echo "== installed packages, as the installed system's installer lists them"
listing=$(qv_vm_installed_list "$out/disk.img" "$out/root" "$emulator" "$build/installer/installer")
echo "$listing"
if [ "$unattended" = yes ]; then
  for p in system ppp dhcp; do
    grep -qE "^ *$p " <<<"$listing" || { echo "run.sh: $p is not installed on the new disk" >&2; exit 1; }
  done
fi
