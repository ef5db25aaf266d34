# The virtual machine kit: a distribution kernel with its modules, an
# initramfs whose /init is the installer's init, and an ISO 9660 disc.
# Sourced by the main job and by the machine tests; everything is cached in
# QV_VM_CACHE (build/vm by default).
QV_VM_CACHE=${QV_VM_CACHE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/vm}

# Modules this kernel needs below the installer's own lists (its ext2/ext3 are
# served by ext4, its SCSI disk driver needs the t10-pi chain, ISO 9660 is in
# no list): inserted by a small stage that then hands process 1 to init.
QV_VM_PRELOAD="kernel/drivers/scsi/scsi_common.ko kernel/crypto/crct10dif_common.ko kernel/lib/crc-t10dif.ko
kernel/lib/crc64.ko kernel/lib/crc64-rocksoft.ko kernel/block/t10-pi.ko kernel/drivers/cdrom/cdrom.ko
kernel/fs/isofs/isofs.ko kernel/lib/crc16.ko kernel/fs/mbcache.ko kernel/crypto/crc32c_generic.ko
kernel/fs/jbd2/jbd2.ko kernel/fs/ext4/ext4.ko kernel/fs/nls/nls_ascii.ko"
# Modules init loads itself from its lists, at the lists' own paths.
QV_VM_LISTED="kernel/drivers/scsi/scsi_mod.ko kernel/drivers/scsi/sd_mod.ko kernel/drivers/scsi/sr_mod.ko
kernel/drivers/ata/libata.ko kernel/drivers/ata/ata_piix.ko kernel/fs/fat/fat.ko kernel/fs/fat/vfat.ko
kernel/fs/nls/nls_cp437.ko kernel/fs/nls/nls_iso8859-1.ko"

qv_vm_error() { echo "VM kit: $*" >&2; }

# Sets QV_VM_KERNEL (an uncompressed kernel image when it can be had, which
# starts much faster under emulation) and QV_VM_MODULES (the module tree).
qv_vm_kernel() {
  local dir=$QV_VM_CACHE/kernel
  if [ ! -f "$dir/ready" ]; then
    rm -rf "$dir" && mkdir -p "$dir/deb" "$dir/root" || { qv_vm_error "cannot create $dir"; return 1; }
    (cd "$dir/deb" && apt-get download linux-image-amd64 >/dev/null 2>"$dir/apt.log") ||
      { qv_vm_error "apt-get download linux-image-amd64 failed: $(tail -1 "$dir/apt.log")"; return 1; }
    local image
    image=$(dpkg-deb -f "$dir"/deb/linux-image-amd64_*.deb Depends | tr ',' '\n' | grep -o 'linux-image-[0-9][^ ]*' | head -1) || true
    [ -n "$image" ] || { qv_vm_error "linux-image-amd64 names no kernel package"; return 1; }
    (cd "$dir/deb" && apt-get download "$image" >/dev/null 2>"$dir/apt.log") ||
      { qv_vm_error "apt-get download $image failed: $(tail -1 "$dir/apt.log")"; return 1; }
    dpkg-deb -x "$dir"/deb/"$image"_*.deb "$dir/root" || { qv_vm_error "cannot unpack $image"; return 1; }
    local vmlinuz
    vmlinuz=$(ls "$dir"/root/boot/vmlinuz-* 2>/dev/null | head -1) || true
    [ -n "$vmlinuz" ] || { qv_vm_error "$image holds no /boot/vmlinuz-*"; return 1; }
    cp "$vmlinuz" "$dir/bzImage"
    # The kernel inside the compressed image (an xz stream), unpacked: it
    # starts in half a second instead of three under emulation. Only the
    # first stream: the bytes after it are not xz data, and a plain xz -d
    # fails on them although the kernel it wrote is whole.
    local at
    at=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1) || true
    if [ -n "$at" ]; then
      if ! xz -dc --single-stream < <(tail -c +$((at + 1)) "$vmlinuz" 2>/dev/null || true) > "$dir/vmlinux" 2>/dev/null ||
        ! cmp -s -n 4 <(printf '\177ELF') "$dir/vmlinux"; then
        rm -f "$dir/vmlinux"  # the compressed image starts too, only slower
      fi
    fi
    rm -rf "$dir/deb" "$dir/apt.log"
    touch "$dir/ready"
  fi
  QV_VM_KERNEL=$dir/bzImage
  [ -f "$dir/vmlinux" ] && QV_VM_KERNEL=$dir/vmlinux
  QV_VM_MODULES=$(ls -d "$dir"/root/lib/modules/* | head -1)
}

# qv_vm_initramfs OUTPUT INIT [TYPE]: the medium's initramfs with that init
# and install mode.
qv_vm_initramfs() {
  local out=$1 init=$2 type=${3:-cdrom}
  qv_vm_kernel || return 1
  local release tree
  release=$(basename "$QV_VM_MODULES")
  tree=$(mktemp -d)
  mkdir -p "$tree"/{bin,dev,proc,sys,flash,ram,floppy}
  strip -o "$tree/init" "$init" 2>/dev/null || cp "$init" "$tree/init"
  printf '%s\n' "$type" > "$tree/TYPE"
  cp /bin/busybox "$tree/bin/busybox"
  mknod "$tree/dev/console" c 5 1
  local m
  for m in $QV_VM_PRELOAD $QV_VM_LISTED; do
    mkdir -p "$tree/lib/modules/$release/$(dirname "$m")"
    cp "$QV_VM_MODULES/$m" "$tree/lib/modules/$release/$m"
  done
  # A real module file where init loads its early network driver.
  mkdir -p "$tree/lib/modules/$release/drivers/net"
  cp "$(find "$QV_VM_MODULES" -name atl1c.ko | head -1)" "$tree/lib/modules/$release/drivers/net/atl1c.ko"
  {
    echo '#!/bin/busybox sh'
    echo '/bin/busybox mount -t devtmpfs devtmpfs /dev'
    for m in $QV_VM_PRELOAD; do echo "/bin/busybox insmod /lib/modules/$release/$m"; done
    echo '/bin/busybox umount /dev'
    echo 'exec /init "$@"'  # init's arguments (-hdd-install) come through the stage
  } > "$tree/stage"
  chmod 755 "$tree/stage" "$tree/init" "$tree/bin/busybox"
  (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
  rm -rf "$tree"
}

# qv_vm_iso OUTPUT DIRECTORY: an ISO 9660 disc (Rock Ridge names) of the directory.
qv_vm_iso() {
  xorriso -as mkisofs -quiet -r -V QUORVANE -o "$1" "$2" >/dev/null 2>&1
}

# qv_vm_boot INITRD DISK ISO [COMMAND-PREFIX...]: boots the medium under
# software emulation (no KVM here) with the serial console on standard input
# and output; the installer's reboot ends the machine. A prefix (the console
# driver) may be put before the emulator's command line.
qv_vm_boot() {
  local initrd=$1 disk=$2 iso=$3; shift 3
  "$@" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -nic none \
    -kernel "$QV_VM_KERNEL" -initrd "$initrd" \
    -append "console=ttyS0 rdinit=/stage quiet loglevel=1 panic=-1" \
    -drive "file=$disk,format=raw,if=ide,index=0" \
    -drive "file=$iso,media=cdrom,if=ide,index=2"
}

# qv_vm_boot_hdd INITRD DISK [COMMAND-PREFIX...]: boots the hard-disk
# installation: the disk holds the FAT medium and is the only one; init gets
# -hdd-install.
qv_vm_boot_hdd() {
  local initrd=$1 disk=$2; shift 2
  "$@" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -nic none \
    -kernel "$QV_VM_KERNEL" -initrd "$initrd" \
    -append "console=ttyS0 rdinit=/stage quiet loglevel=1 panic=-1 -- -hdd-install" \
    -drive "file=$disk,format=raw,if=ide,index=0"
}

# The byte offset of the data partition in the installer's fixed layout.
QV_VM_DATA_OFFSET=$((65537 * 512))

# qv_vm_installed_list IMAGE ROOT INSTALLER...: the installed system's package
# list, with the data partition of IMAGE loop-mounted on ROOT/flash in a private
# mount namespace. INSTALLER may be a command with its emulator.
qv_vm_installed_list() {
  local image=$1 root=$2; shift 2
  mkdir -p "$root/flash" "$root/ram"
  unshare -m bash -c '
    mount --make-rprivate / &&
      mount -o loop,offset=$3 "$2" "$1/flash" || { echo "nothing installed on the disk"; exit 1; }
    shift 3
    "$@"
  ' _ "$root" "$image" "$QV_VM_DATA_OFFSET" "$@" -r "$root" --show
}
