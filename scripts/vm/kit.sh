# The virtual machine kit: a distribution kernel with its modules (fetched
# once with apt-get download, cached in QV_VM_CACHE, build/vm by default), the
# media made from it by vmedia, and the machines that boot them. Sourced by
# the main job and by the machine tests; "bash scripts/vm/kit.sh" only fetches
# the kernel.
QV_VM_CACHE=${QV_VM_CACHE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/vm}

qv_vm_error() { echo "VM kit: $*" >&2; }

# Sets QV_VM_KERNEL (the bzImage a loader starts) and QV_VM_MODULES (the
# module tree).
qv_vm_fetch_kernel() {  # qv_vm_fetch_kernel DIR
  local dir=$1
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
  rm -rf "$dir/deb" "$dir/apt.log"
  touch "$dir/ready"
}

qv_vm_kernel() {
  local dir=$QV_VM_CACHE/kernel
  mkdir -p "$QV_VM_CACHE" || { qv_vm_error "cannot create $QV_VM_CACHE"; return 1; }
  # The machine tests run side by side: one fetches, the others wait for it.
  (
    flock 9
    [ -f "$dir/ready" ] || qv_vm_fetch_kernel "$dir"
  ) 9>"$QV_VM_CACHE/kernel.lock" || return 1
  QV_VM_KERNEL=$dir/bzImage
  QV_VM_MODULES=$(ls -d "$dir"/root/lib/modules/* | head -1)
}

# qv_vm_media VMEDIA-COMMAND...: runs vmedia (maybe with its emulator) for
# this kit's kernel: vmedia takes the kernel, its module tree and the modules
# to preload from QV_VM_CACHE.
qv_vm_media() {
  qv_vm_kernel || return 1
  QV_VM_CACHE=$QV_VM_CACHE "$@"
}

# qv_vm_boot_cd ISO DISK [COMMAND-PREFIX...]: a machine that boots the CD (its
# BIOS, isolinux, the kernel) under software emulation (no KVM here), with the
# disk as its first IDE disk and the serial console on standard input and
# output; the installer's reboot ends the machine. A prefix (the console
# driver) may be put before the emulator's command line.
qv_vm_boot_cd() {
  local iso=$1 disk=$2; shift 2
  # -boot d: a disk installed before boots before the CD otherwise.
  "$@" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -nic none -boot d \
    -drive "file=$disk,format=raw,if=ide,index=0" -drive "file=$iso,media=cdrom,if=ide,index=2"
}

# qv_vm_boot_disk DISK [COMMAND-PREFIX...]: a machine whose only disk is DISK,
# booted by its BIOS (a hard-disk medium, or an installed disk).
qv_vm_boot_disk() {
  local disk=$1; shift
  "$@" qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -nic none \
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

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  qv_vm_kernel && echo "kernel: $QV_VM_KERNEL, modules: $QV_VM_MODULES"
fi

# qv_vm_segment NAMESPACE TAP...: an Ethernet segment for machines: a network
# namespace holding a bridge qvbr0 (up) and the taps, each on the bridge.
qv_vm_segment() {
  local space=$1 tap; shift
  ip netns add "$space" && ip netns exec "$space" ip link set lo up &&
    ip netns exec "$space" ip link add qvbr0 type bridge && ip netns exec "$space" ip link set qvbr0 up ||
    { qv_vm_error "no network namespace $space with a bridge"; return 1; }
  for tap in "$@"; do
    ip netns exec "$space" ip tuntap add dev "$tap" mode tap &&
      ip netns exec "$space" ip link set "$tap" master qvbr0 && ip netns exec "$space" ip link set "$tap" up ||
      { qv_vm_error "no tap $tap in $space"; return 1; }
  done
}
