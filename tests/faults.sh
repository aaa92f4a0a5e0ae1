#!/usr/bin/env bash
# Extraction under faults. fwvet promises that at every instant a whole copy
# of the payload exists (the upgrade file untouched, or the staging file
# complete and durable) and that status 0 means the staging file holds exactly
# the verified payload. This fails each system call of one extraction in turn,
# then kills the process at each one, and checks the promise after every run;
# it also checks the order of the durability calls and a real full /tmp.
#
#   faults.sh FWVET MKUPGRADE
set -u
fwvet=$1
mkupgrade=$2
staging=/tmp/flsbfile.tar.gz
command -v strace > /dev/null || { echo "SKIP: strace is not installed"; exit 77; }
# Outside /tmp, which the full-/tmp case mounts over.
work=$(mktemp -d /var/tmp/fwvet-faults.XXXXXX)
trap 'rm -rf "$work"' EXIT
up=$work/up.bin
failures=0
runs=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Three copy blocks, the last one short.
head -c 25000 /dev/urandom > "$work/payload"
"$mkupgrade" "$work/payload" "$work/pristine"
echo "staging file from an earlier run" > "$work/old"

setup() {
  cp "$work/pristine" "$up"
  rm -rf "$staging"
  cp "$work/old" "$staging"
}

same() { cmp -s "$1" "$2"; }

# After a run that ended with STATUS: a status the tool can return (any
# status where the failure came before the tool's first own call, in the
# loader or in libc's start-up); on 0 the staging file is exactly the payload;
# otherwise the upgrade file is intact and the staging path holds its old
# content or nothing.
check_failed_run() {  # check_failed_run STATUS WHAT STARTUP
  case $1 in
    0)
      same "$staging" "$work/payload" || fail "$2: status 0 but the staging file is not the payload"
      return ;;
    1 | 2 | 3 | 4 | 8 | 10) ;;
    *) [ "$3" = startup ] || fail "$2: status $1 is none the tool returns" ;;
  esac
  same "$up" "$work/pristine" || fail "$2: status $1 and the upgrade file is changed or gone"
  [ ! -e "$staging" ] || same "$staging" "$work/old" || fail "$2: status $1 and a partial staging file"
}

# After a kill: the upgrade file intact, or the staging file complete.
check_killed_run() {  # check_killed_run WHAT
  same "$up" "$work/pristine" || same "$staging" "$work/payload" ||
    fail "$1: killed with neither the upgrade file intact nor the payload staged"
}

# The system calls of one good extraction, in order; those before the first
# opening of the upgrade file belong to the loader and libc's start-up.
setup
strace -qq -o "$work/trace" "$fwvet" -f "$up" || fail "the untraced extraction failed"
sed -n 's/^\([a-z_0-9]*\)(.*/\1/p' "$work/trace" | grep -vx 'execve\|exit_group' > "$work/calls"
first_open=$(grep -n "^openat(.*\"$up\"" "$work/trace" | head -n 1 | cut -d: -f1)
declare -A seen
injected=0
killed=0
line=0
while read -r name; do
  line=$((line + 1))
  n=$(( ${seen[$name]:-0} + 1 ))
  seen[$name]=$n
  phase=tool
  [ "$((line + 1))" -lt "$first_open" ] && phase=startup
  err=EIO
  [ "$name" = write ] && err=ENOSPC

  # Each run in a subshell that waits for it, so that this shell does not
  # report the signals that end some of them.
  setup
  ( strace -qq -o /dev/null -e trace="$name" -e inject="$name:error=$err:when=$n" "$fwvet" -f "$up"; exit ) > /dev/null 2>&1
  check_failed_run $? "$name #$n fails with $err" "$phase"
  injected=$((injected + 1))

  setup
  ( strace -qq -o /dev/null -e trace="$name" -e inject="$name:signal=KILL:when=$n" "$fwvet" -f "$up"; exit ) > /dev/null 2>&1
  check_killed_run "killed at $name #$n"
  killed=$((killed + 1))
done < "$work/calls"
echo "injected $injected failures and $killed kills, one at each system call of an extraction"

# The staging file and its directory are durable before the upgrade file goes.
setup
strace -qq -y -o "$work/order" -e trace=fsync,unlink,unlinkat "$fwvet" -f "$up" ||
  fail "the traced extraction failed"
order=$(sed -n -e "s|^fsync([0-9]*<$staging>).*|file|p" -e 's|^fsync([0-9]*</tmp>).*|dir|p' \
  -e "s|^unlink(\"$up\").*|unlink|p" "$work/order" | tr '\n' ' ')
[ "$order" = "file dir unlink " ] || fail "durability order: $order"

# A /tmp too small for the payload, for real: in a private mount namespace.
if unshare -m true 2> /dev/null; then
  head -c 300000 /dev/urandom > "$work/big"
  "$mkupgrade" "$work/big" "$work/big.bin"
  cp "$work/big.bin" "$work/big.pristine"
  # A copy of the binary: the build tree itself may lie under /tmp.
  cp "$fwvet" "$work/fwvet"
  unshare -m bash -c "mount -t tmpfs -o size=64k tmpfs /tmp && { '$work/fwvet' -f '$work/big.bin'; echo \$? > '$work/status'; ls -A /tmp > '$work/left'; }" > /dev/null
  [ "$(cat "$work/status")" = 10 ] || fail "full /tmp: status $(cat "$work/status")"
  same "$work/big.bin" "$work/big.pristine" || fail "full /tmp: the upgrade file is changed or gone"
  [ ! -s "$work/left" ] || fail "full /tmp: left $(cat "$work/left")"
else
  echo "SKIP: full /tmp (no private mount namespace here)"
fi

rm -rf "$staging"
echo "$failures failed"
[ "$failures" = 0 ]
