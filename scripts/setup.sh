#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced by the other scripts; run as root on Debian 12.
set -euo pipefail

QV_PACKAGES=(
  cmake ninja-build g++ g++-multilib zlib1g-dev lib32z1-dev   # native and i386 builds
  googletest libbenchmark-dev                                 # tests and benchmarks
  nasm fdisk qemu-system-x86                                  # boot program, partition tables, BIOS boots
  openssl libssl-dev                                          # independent oracle and benchmark baseline
  qemu-user-static                                            # runs the i386 tests on a 64-bit-only kernel
  util-linux e2fsprogs                                        # mount namespaces, loop mounts and ext2 images for tests
  clang libclang-rt-14-dev                                    # libFuzzer targets
  xorriso busybox-static cpio python3                         # the disc, the preload stage, initramfs checks, console driver
  dosfstools mtools                                           # the hard-disk installation medium (FAT)
  isolinux syslinux syslinux-common pxelinux                  # the media's boot loaders
  dnsmasq-base                                                # DHCP and TFTP for network boots (never the service)
)                                                             # (the machine's kernel is fetched with apt-get download)

qv_install_packages() {
  local missing=()
  for p in "${QV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}
