#!/usr/bin/env bash
# Power cuts during an upgrade by installer on the ext3 data partition, in a
# virtual machine: a kernel of the kit, an initramfs holding this build's
# installer (built with the engine's crash seam) and the ext3 image as its
# disk. The seam cuts the machine's power at the k-th change on disk (the
# kernel's unwritten pages are lost, as in a real cut), for seeded k across
# the upgrade and its commit. After each cut a fresh boot mounts the file
# system (the ext3 journal is replayed), runs installer --cancel (which
# finishes or drops the interrupted commit), lists the tree, runs installer
# again, lists it again and unmounts; on the host e2fsck -fn must be clean,
# the first listing must be the old or the new installation exactly, the
# second the new one.
# usage: power_cut.sh SEAM-BUILD-DIR [CUTS]
#   SEAM-BUILD-DIR: a native build configured with -DQV_FAULT_SEAM=ON (installer, vpkg)
set -uo pipefail
build=$(cd "$1" && pwd)
cuts=${2:-12}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
. "$source_dir/scripts/vm/kit.sh"
. "$here/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-cut.XXXXXX")
trap 'rm -rf "$work"' EXIT
installer=$build/installer/installer
vpkg=$build/tools/vpkg
key=$source_dir/keys/dev-private.key
[ -x "$installer" ] && [ -x "$vpkg" ] || { echo "no installer or vpkg in $build"; exit 1; }
qv_vm_kernel || { echo "no kernel for the virtual machine"; exit 1; }

# --- the packages: a system of a few hundred files (changed, dropped, added
# and renamed in its next version), a package that needs it, a bundle.
python3 - "$work/trees" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(1515)
def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
for i in range(300):
    kind = rng.randrange(100)
    size = rng.randrange(3000) if kind < 85 else 16384 + rng.randrange(65536) if kind < 97 else (1 << 20) + rng.randrange(1 << 20)
    sub = ("lib", "bin", "usr/share/data")[i % 3]
    data = rng.randbytes(size)
    put(f"{root}/system1/{sub}/f{i:03d}", data)
    if i % 7 == 0:
        continue
    name = f"{sub}/f{i:03d}" + (".renamed" if i % 11 == 0 else "")
    if i % 11 != 0 and i % 3 == 0:
        data = rng.randbytes(size + 5)
    put(f"{root}/system2/{name}", data)
for i in range(20):
    put(f"{root}/system2/etc/new/n{i}", rng.randbytes(rng.randrange(5000)))
put(f"{root}/app1/bin/app", b"app 1\n"); put(f"{root}/app1/etc/app.conf", b"c\n")
put(f"{root}/app2/bin/app", b"app 2\n"); put(f"{root}/app2/etc/app.d/x", b"x\n")
put(f"{root}/m1a/bin/m1", b"m1 v1\n"); put(f"{root}/m2/bin/m2", b"m2\n")
put(f"{root}/m1b/bin/m1", b"m1 v2\n"); put(f"{root}/m1b/lib/m1.so", b"so\n"); put(f"{root}/m3/bin/m3", b"m3\n")
EOF
package() {  # package OUT NAME VERSION TREE [DEPENDS]
  printf 'name = %s\nversion = %s\nbuild-time = 1700000000\nfiles = %s\n%s' "$2" "$3" "$4" "${5:+depends = $5
}" > "$work/$2.manifest"
  ASAN_OPTIONS=detect_leaks=0 "$vpkg" build "$work/$2.manifest" -o "$1" --key "$key" >/dev/null || { echo "vpkg build $2"; exit 1; }
}
mkdir -p "$work/old" "$work/new"
package "$work/old/system.vpk" system 6.49 "$work/trees/system1"
package "$work/new/system.vpk" system 6.49.1 "$work/trees/system2"
package "$work/old/app.vpk" app 6.49 "$work/trees/app1" "system min 6.49"
package "$work/new/app.vpk" app 6.49.1 "$work/trees/app2" "system min 6.49.1"
package "$work/m1a.vpk" m1 6.49 "$work/trees/m1a"
package "$work/m2.vpk" m2 6.49 "$work/trees/m2"
package "$work/m1b.vpk" m1 6.49.1 "$work/trees/m1b"
package "$work/m3.vpk" m3 6.49.1 "$work/trees/m3"
"$vpkg" bundle -o "$work/old/suite.vpk" --name suite --version 6.49 "$work/m1a.vpk" "$work/m2.vpk" >/dev/null || exit 1
"$vpkg" bundle -o "$work/new/suite.vpk" --name suite --version 6.49.1 "$work/m1b.vpk" "$work/m3.vpk" >/dev/null || exit 1

# --- the installed system: the old packages installed on the host (in a
# private mount namespace), the new ones waiting in /flash/var/pckg/.
root=$work/root
mkdir -p "$root/flash/var/pdb" "$root/ram" "$root/flash/var/pckg"
for p in system app suite; do
  unshare -m "$installer" -q -r "$root" - < "$work/old/$p.vpk" || { echo "cannot install $p"; exit 1; }
done
cp "$work/new/"*.vpk "$root/flash/var/pckg/"
image=$work/data.img
mke2fs -q -F -t ext3 -b 1024 -d "$root/flash" "$image" 96M || { echo "mke2fs"; exit 1; }
pristine=$work/pristine.img
cp "$image" "$pristine"

# How many changes the whole upgrade makes, and where its commit starts: the
# same run on a copy of the tree on the host.
cp -a "$root" "$work/counted"
counts=$(unshare -m env QV_FAULT_COUNT=1 "$installer" -q -r "$work/counted" 2>&1 >/dev/null | grep 'fault points')
total=$(echo "$counts" | sed -n 's/fault points: \([0-9]*\), commit from \([0-9]*\)/\1/p')
commit=$(echo "$counts" | sed -n 's/fault points: \([0-9]*\), commit from \([0-9]*\)/\2/p')
[ -n "$total" ] && [ -n "$commit" ] || { echo "no fault count: $counts"; exit 1; }
echo "the upgrade makes $total changes, its commit from change $commit on"

# --- the initramfs: busybox, the disk and ext3 modules, the installer and
# its libraries at their paths.
ramfs=$work/initramfs
mkdir -p "$ramfs/bin" "$ramfs/modules"
cp /bin/busybox "$ramfs/bin/busybox"
modules=()
add_module() {  # add_module NAME: the module and what it depends on, dependencies first
  local file deps d
  case " ${modules[*]:-} " in *" $1 "*) return ;; esac
  file=$(find "$QV_VM_MODULES/kernel" -name "$1.ko" | head -1)
  [ -n "$file" ] || return 0  # built in
  # The module's "depends=" entry of its .modinfo section.
  deps=$(python3 -c 'import re, sys; m = re.search(rb"\0depends=([^\0]*)\0", open(sys.argv[1], "rb").read()); print((m.group(1) if m else b"").decode().replace(",", " "))' "$file")
  for d in $deps; do add_module "$d"; done
  modules+=("$1")
  cp "$file" "$ramfs/modules/$1.ko"
}
for m in ata_piix sd_mod crc32c_generic ext4; do add_module "$m"; done
for f in "$installer" $(ldd "$installer" | grep -o '/[^ ]*'); do
  mkdir -p "$ramfs$(dirname "$f")" && cp -L "$f" "$ramfs$f"
done
cat > "$ramfs/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /dev /sys /flash /ram /tmp
mount -t proc proc /proc; mount -t devtmpfs dev /dev; mount -t sysfs sys /sys
for m in ${modules[*]}; do insmod /modules/\$m.ko; done
mount -t tmpfs ram /ram
n=0; while [ ! -b /dev/sda ] && [ \$n -lt 100 ]; do sleep 0.1; n=\$((n + 1)); done
mode=\$(sed -n 's/.*qv.mode=\([^ ]*\).*/\1/p' /proc/cmdline)
mount -t ext3 /dev/sda /flash || { echo QV-NO-MOUNT; echo o > /proc/sysrq-trigger; }
listing() { (cd /flash && find . ! -path './var/pckg*' ! -name postlog ! -path './lost+found*' | sort | while read -r p; do
  if [ -f "\$p" ] && [ ! -L "\$p" ]; then echo "\$p \$(sha256sum < "\$p" | cut -c1-16)"; else echo "\$p"; fi; done); }
case "\$mode" in
  cut:*) echo QV-UPGRADE-START; QV_FAULT_POWER_OFF=1 QV_FAULT_AT=\${mode#cut:} /installer/installer -q; echo QV-UPGRADE-ENDED ;;
  check)
    /installer/installer --cancel; echo "QV-RECOVERED \$?"
    echo QV-LISTING-1; listing; echo QV-LISTING-1-END
    /installer/installer -q; echo "QV-RERUN \$?"
    echo QV-LISTING-2; listing; echo QV-LISTING-2-END
    umount /flash && echo QV-UNMOUNTED ;;
esac
echo o > /proc/sysrq-trigger
sleep 60
EOF
chmod +x "$ramfs/init"
# The installer at a fixed path in the guest, whatever the build's path.
mkdir -p "$ramfs/installer" && ln -sf "$installer" "$ramfs/installer/installer"
(cd "$ramfs" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz" || { echo "cpio"; exit 1; }

boot() {  # boot MODE LOG: the machine on the image until it powers off
  flock /tmp/qv-vm.lock timeout 900 qemu-system-x86_64 -machine pc -accel tcg -m 512 -nographic -no-reboot -nic none \
    -kernel "$QV_VM_KERNEL" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1 qv.mode=$1" \
    -drive "file=$image,format=raw,if=ide,index=0" < /dev/null > "$2" 2>&1
}
section() { tr -d '\r' < "$1" | sed -n "/^$2\$/,/^$2-END\$/p"; }

# The reference: the pristine image, checked (old), then upgraded (new).
boot check "$work/pristine.log"
grep -q "QV-UNMOUNTED" "$work/pristine.log" || { echo "the checking machine failed:"; tail -30 "$work/pristine.log"; exit 1; }
section "$work/pristine.log" QV-LISTING-1 | sed '1d;$d' > "$work/old.list"
section "$work/pristine.log" QV-LISTING-2 | sed '1d;$d' > "$work/new.list"
cmp -s "$work/old.list" "$work/new.list" && { echo "the upgrade changed nothing"; exit 1; }
grep -q "^./bin/f001 " "$work/old.list" || { echo "no listing of the old installation"; exit 1; }

# Seeded cut points: two before the commit, the rest inside it.
points=$(python3 -c "
import random; r = random.Random(15); t, c, n = $total, $commit, $cuts
print(' '.join(str(k) for k in sorted(set([r.randrange(1, c)] * 1 + [r.randrange(1, c)] + [r.randrange(c, t + 1) for _ in range(n - 2)]))))")
old=0 new=0 done_cuts=0
for k in $points; do
  cp "$pristine" "$image"
  boot "cut:$k" "$work/cut.log"
  if grep -q QV-UPGRADE-ENDED "$work/cut.log"; then fail "cut $k: the upgrade ran to its end"; continue; fi
  grep -q QV-UPGRADE-START "$work/cut.log" || { fail "cut $k: the machine did not start the upgrade"; tail -20 "$work/cut.log"; continue; }
  done_cuts=$((done_cuts + 1))
  boot check "$work/check.log"
  grep -q "QV-UNMOUNTED" "$work/check.log" || { fail "cut $k: the checking machine failed"; tail -30 "$work/check.log"; continue; }
  grep -q "QV-RECOVERED 0" "$work/check.log" || fail "cut $k: installer --cancel failed"
  grep -q "QV-RERUN 0" "$work/check.log" || fail "cut $k: the rerun failed"
  # After the machine's own journal replay and a clean unmount: no error at all.
  fsck=$(e2fsck -fn "$image" 2>&1) || fail "cut $k: e2fsck -fn: $fsck"
  section "$work/check.log" QV-LISTING-1 | sed '1d;$d' > "$work/after.list"
  section "$work/check.log" QV-LISTING-2 | sed '1d;$d' > "$work/final.list"
  if cmp -s "$work/after.list" "$work/old.list"; then old=$((old + 1)); echo "cut at change $k: the old installation"
  elif cmp -s "$work/after.list" "$work/new.list"; then new=$((new + 1)); echo "cut at change $k: the new installation"
  else fail "cut $k: neither the old nor the new installation"; diff "$work/old.list" "$work/after.list" | head -20; fi
  cmp -s "$work/final.list" "$work/new.list" || fail "cut $k: the rerun did not end in the new installation"
done
echo "$done_cuts power cuts: $old ended in the old installation, $new in the new one, $failures failures"
[ "$done_cuts" -ge 10 ] || fail "only $done_cuts power cuts"
[ "$failures" -eq 0 ]
