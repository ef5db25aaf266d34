#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer): the package reader, seeded with packages made
# by vpkg, the network installation's client and server parsing, and the
# engine's readers of local files (the saved transaction, the database's
# meta files, schedules, the commit journal) and the medium's defpacks; runs
# each for the given number of seconds (default 30). Exits non-zero on a
# finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
local_targets="manifest_fuzz meta_files_fuzz schedule_fuzz journal_fuzz defpacks_fuzz"
cmake --build --preset fuzz --target part_reader_fuzz net_client_fuzz net_server_fuzz $local_targets vpkg
build=build/fuzz
corpus=$build/corpus
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
mkdir -p "$corpus" "$seeds/root/bin" "$seeds/root/etc"
printf 'hello\n' > "$seeds/root/bin/hello"
head -c 3000 /dev/zero > "$seeds/root/etc/zeros"
ln -sf hello "$seeds/root/bin/link"
printf 'image' > "$seeds/image"
vpkg=$build/tools/vpkg
key=keys/dev-private.key
common="version = 6.49.3\nbuild-time = 1\ndescription = d\nnote = n\ntext-b = b\narchitecture = i386\ndepends = base min 6.40\nprovides = p priority 2\nconflicts = c max 7.0\nfiles = root\n"
printf "name = one\n$common" > "$seeds/m1"
printf "name = two\n${common}digest = sha256\nimage = image\ntrailer = yes\n" > "$seeds/m2"
printf "name = three\n${common}magic = overlay\nskip = bin/link\n" > "$seeds/m3"
ASAN_OPTIONS=detect_leaks=0 "$vpkg" build "$seeds/m1" -o "$corpus/one.vpk" --key "$key"
ASAN_OPTIONS=detect_leaks=0 "$vpkg" build "$seeds/m2" -o "$corpus/two.vpk" --key "$key"
ASAN_OPTIONS=detect_leaks=0 "$vpkg" build "$seeds/m3" -o "$corpus/three.vpk" --key "$key" --scheme older
ASAN_OPTIONS=detect_leaks=0 "$vpkg" bundle -o "$corpus/bundle.vpk" --name suite --version 6.49 --disable x \
  --image "$seeds/image" "$corpus/one.vpk" "$corpus/two.vpk"
echo "fuzzing the package reader for $seconds s"
"$build/part_reader_fuzz" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=1024 \
  -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
for target in net_client_fuzz net_server_fuzz; do
  echo "fuzzing $target for $seconds s"
  mkdir -p "$build/corpus-$target"
  "$build/$target" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=1024 -print_final_stats=1 \
    "$build/corpus-$target" 2>&1 | tail -n 12
done
# Seeds for the local files: what the engine and the running system write.
seed() { mkdir -p "$build/corpus-$1"; printf "$3" > "$build/corpus-$1/$2"; }
seed manifest_fuzz m1 'U /flash/old\nL /flash/link target\nM /flash/new /ram/.qv-staging/tmpAbc123\n'
seed manifest_fuzz m2 'U /flash/a\n\nX rest\n'
seed meta_files_fuzz version '\000103900672 1700000000\n'
seed meta_files_fuzz deps '\001system 103900672 0\nbase 0 0\n'
seed meta_files_fuzz provides '\002dns 103900672 0 5\n'
seed meta_files_fuzz files '\003flash/bin/app\nflash/etc/app.conf\n'
seed meta_files_fuzz disabled '\004user\n'
seed meta_files_fuzz schedule '\005uninstall\n'
seed schedule_fuzz s1 'disable\n'
seed defpacks_fuzz d1 'system ppp\ndhcp\n'
journal=$(printf 'QVJOURNAL 1\nD /flash/old\nR /flash/.qv-staging/tmpAbc123 /flash/new%%20name\n')
crc=$(python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(sys.argv[1].encode() + b"\n"))' "$journal")
printf '%s\nEND 2 %s\n' "$journal" "$crc" > "$build/corpus-journal_fuzz/j1" 2>/dev/null || { mkdir -p "$build/corpus-journal_fuzz"; printf '%s\nEND 2 %s\n' "$journal" "$crc" > "$build/corpus-journal_fuzz/j1"; }
status=0
for target in $local_targets; do
  echo "fuzzing $target for $seconds s"
  mkdir -p "$build/corpus-$target"
  "$build/$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=1024 -print_final_stats=1 \
    "$build/corpus-$target" > "$build/$target.log" 2>&1 || status=1
  tail -n 12 "$build/$target.log"
done
exit $status
