#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer): the package reader, seeded with packages made
# by vpkg, and the network installation's client and server parsing; runs
# each for the given number of seconds (default 30). Exits non-zero on a
# finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target part_reader_fuzz net_client_fuzz net_server_fuzz vpkg
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
