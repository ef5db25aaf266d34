# What the machine tests share: failures counted, the serial console's log
# made readable, texts found in order, and file systems judged by e2fsck.
# Sourced after the test set "work" (its scratch directory).
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# The log without the terminal's escape sequences and percentage steps.
plain() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$1" | tr '\r' '\n' | grep -Ev '^Formatting .* ([0-9]|[1-9][0-9])%$' | grep -v '^ *$'; }

in_order() {  # in_order FILE TEXT...
  local file=$1 rest; shift
  rest=$(plain "$file")
  for text in "$@"; do
    case "$rest" in
      *"$text"*) rest=${rest#*"$text"} ;;
      *) fail "\"$text\" missing or out of order in $(basename "$file")"; return ;;
    esac
  done
}

fsck_clean() {  # fsck_clean IMAGE OFFSET: clean but for the resize-inode note
  local out
  out=$(e2fsck -fn "$1?offset=$2" 2>&1 | grep -v -e '^Pass ' -e '^e2fsck ' -e '^system: ' \
        -e 'Resize inode not valid' -e '^$')
  [ -z "$out" ] || fail "e2fsck at offset $2: $out"
}

# tree_listing IMAGE OFFSET: every path of the file system at OFFSET with its
# type, mode, owner, size and link target, then every file's SHA-256: what two
# installations must have alike, apart from times.
tree_listing() {
  unshare -m bash -c '
    mount --make-rprivate / && dir=$(mktemp -d) && mount -o ro,loop,offset=$2 "$1" "$dir" || exit 1
    (cd "$dir" && find . -printf "%y %m %U:%G %s %p %l\n" | sort -k5 && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
    umount "$dir" && rmdir "$dir"
  ' _ "$1" "$2"
}

# time_profile LOG TEXT...: where a machine's run spent its time, from the
# times drive.py recorded beside LOG: from the start to the first TEXT, then
# from each TEXT to the next (each found after the one before).
time_profile() {
  python3 - "$@" <<'PROFILE'
import sys
log_path, marks = sys.argv[1], sys.argv[2:]
log = open(log_path, "rb").read()
arrivals = [tuple(map(float, line.split())) for line in open(log_path + ".times")]
def arrival(offset):
    return next((t for end, t in arrivals if end > offset), arrivals[-1][1] if arrivals else 0.0)
previous, since, at = "start", 0.0, 0
print("time of %s:" % log_path.rsplit("/", 1)[-1])
for mark in marks:
    found = log.find(mark.encode(), at)
    if found < 0:
        print("  %-64s not seen" % mark)
        continue
    t = arrival(found)
    print("  %-64s %7.1f s  (at %6.1f s)" % (previous + " -> " + mark, t - since, t))
    previous, since, at = mark, t, found + len(mark)
PROFILE
}
