# qv_sample_medium DIRECTORY VPKG [RUEL]: the packages of a small installation
# disc, signed with the development key (not for release): system (with the
# installed system's loader when RUEL is given), ppp needing system, dhcp
# needing ppp, and a defpacks file. VPKG may be a command with its emulator.
qv_sample_medium() {
  local out=$1 vpkg=$2 ruel=${3:-}
  local root key work
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  key=$root/keys/dev-private.key
  work=$(mktemp -d)
  mkdir -p "$out" "$work/system/bin" "$work/system/etc" "$work/ppp/etc/ppp" "$work/dhcp/etc"
  [ -n "$ruel" ] && cp "$ruel" "$work/system/bin/ruel"
  printf 'Quorvane sample system\n' > "$work/system/etc/version"
  printf 'noauth\n' > "$work/ppp/etc/ppp/options"
  printf 'lease-time 3600\n' > "$work/dhcp/etc/dhcpd.conf"
  cat > "$work/system.manifest" <<MANIFEST
name = system
version = 6.49.21
architecture = i386
description = The base system: kernel, loader and tools.
files = system
mode = bin/ruel 0755
MANIFEST
  cat > "$work/ppp.manifest" <<MANIFEST
name = ppp
version = 6.49.21
architecture = i386
description = Point-to-point links over serial lines and Ethernet.
depends = system
files = ppp
MANIFEST
  cat > "$work/dhcp.manifest" <<MANIFEST
name = dhcp
version = 6.49.21
architecture = i386
description = DHCP server and client.
depends = ppp
files = dhcp
MANIFEST
  [ -n "$ruel" ] || sed -i '/^mode = bin\/ruel/d' "$work/system.manifest"
  local name
  for name in system ppp dhcp; do
    $vpkg build "$work/$name.manifest" -o "$out/$name.vpk" --key "$key" >/dev/null || return 1
  done
  printf 'system\nppp\n' > "$out/defpacks"
  rm -rf "$work"
}

# qv_driver_package OUT.vpk VPKG: the driver package of a network
# installation for the kit's kernel (qv_vm_kernel first): the storage drivers
# of init's lists, where init loads them from.
qv_driver_package() {
  local out=$1 vpkg=$2 root work release m
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  work=$(mktemp -d)
  release=$(basename "$QV_VM_MODULES")
  for m in kernel/drivers/scsi/scsi_mod.ko kernel/drivers/scsi/sd_mod.ko kernel/drivers/ata/libata.ko \
    kernel/drivers/ata/ata_piix.ko; do
    mkdir -p "$work/tree/lib/modules/$release/$(dirname "$m")"
    cp "$QV_VM_MODULES/$m" "$work/tree/lib/modules/$release/$m"
  done
  printf 'name = drivers\nversion = 6.49.21\nbuild-time = 1\nfiles = %s\n' "$work/tree" > "$work/drivers.manifest"
  $vpkg build "$work/drivers.manifest" -o "$out" --key "$root/keys/dev-private.key" >/dev/null
  local status=$?
  rm -rf "$work"
  return $status
}
