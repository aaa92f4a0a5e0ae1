#!/usr/bin/env bash
# Extraction under faults. fwvet promises that at every instant a whole copy
# of the payload exists (the upgrade file untouched, or the staging file
# complete and durable), that the staging name holds the previous staging file
# or exactly the new payload, never part of one, and that status 0 means the
# staging file holds exactly the verified payload. This fails each system call
# of one extraction in turn, then kills the process at each one, and checks
# the promise after every run; it also checks the order of the durability
# calls, the named temporary where /tmp cannot make an unnamed one, an I/O
# error at the check's last read, and a real full /tmp.
#
#   faults.sh FWVET MKUPGRADE FWPACK
set -u
fwvet=$1
mkupgrade=$2
fwpack=$3
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
  rm -rf "$staging" /tmp/.flsbfile.tar.gz.*
  cp "$work/old" "$staging"
}

same() { cmp -s "$1" "$2"; }

staged_whole() {  # staged_whole WHAT
  same "$staging" "$work/old" || same "$staging" "$work/payload" ||
    fail "$1: the staging name holds neither the previous staging file nor the payload"
}

no_temporary() {  # no_temporary WHAT
  ! ls -A /tmp | grep -q '^\.flsbfile' || fail "$1: a temporary is left in /tmp"
}

# After a run that ended with STATUS: a status the tool can return (any
# status where the failure came before the tool's first own call, in the
# loader or in libc's start-up); on 0 the staging file is exactly the payload;
# otherwise the upgrade file is intact. Either way nothing is left in /tmp.
check_failed_run() {  # check_failed_run STATUS WHAT STARTUP
  no_temporary "$2"
  case $1 in
    0)
      same "$staging" "$work/payload" || fail "$2: status 0 but the staging file is not the payload"
      return ;;
    1 | 2 | 3 | 4 | 8 | 10) ;;
    *) [ "$3" = startup ] || fail "$2: status $1 is none the tool returns" ;;
  esac
  same "$up" "$work/pristine" || fail "$2: status $1 and the upgrade file is changed or gone"
  staged_whole "$2"
}

# After a kill: the upgrade file intact, or the staging file complete; a
# temporary is left only by a kill between naming it and renaming it.
check_killed_run() {  # check_killed_run WHAT CALL
  same "$up" "$work/pristine" || same "$staging" "$work/payload" ||
    fail "$1: killed with neither the upgrade file intact nor the payload staged"
  staged_whole "$1"
  [ "$2" = renameat ] || no_temporary "$1"
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
  # A real brk cannot fail with an error code; malloc, in fdopen, takes the
  # injected one for an address and crashes. The promise must hold all the same.
  [ "$name" = brk ] && phase=startup
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
  check_killed_run "killed at $name #$n" "$name"
  killed=$((killed + 1))
done < "$work/calls"
echo "injected $injected failures and $killed kills, one at each system call of an extraction"

# The staging file and its directory are durable before the upgrade file goes.
setup
# FAT writes the staging name's entry only with an fsync after the rename.
strace -qq -y -o "$work/order" -e trace=fsync,syncfs,renameat,unlink,unlinkat "$fwvet" -f "$up" ||
  fail "the traced extraction failed"
order=$(sed -n -e 's|^fsync([0-9]*</tmp/#.*|file|p' -e 's|^renameat(.*, "flsbfile.tar.gz") = 0|rename|p' \
  -e 's|^fsync([0-9]*</tmp>).*|dir|p' \
  -e 's|^syncfs([0-9]*</tmp>).*|fs|p' -e "s|^unlink(\"$up\").*|unlink|p" "$work/order" | tr '\n' ' ')
[ "$order" = "file rename file dir fs unlink " ] || fail "durability order: $order"

# What the staging step takes in its stride: O_TMPFILE refused as other file
# systems (EOPNOTSUPP) and older kernels (EISDIR, EINVAL) refuse it, and an
# unprivileged caller's first linkat before Linux 6.10 (ENOENT); and what it
# refuses: the staging name that cannot be looked up is not "nothing there".
tmpfile=$(grep '^openat(' "$work/trace" | grep -n O_TMPFILE | cut -d: -f1)
stagestat=$(grep '^newfstatat(' "$work/trace" | grep -n '"flsbfile.tar.gz"' | cut -d: -f1)
while read -r want inject; do
  setup
  strace -qq -o /dev/null -e inject="$inject" "$fwvet" -f "$up" > /dev/null
  status=$?
  [ "$status" = "$want" ] || fail "$inject: status $status"
  [ "$want" != 0 ] || same "$staging" "$work/payload" || fail "$inject: the payload is not staged"
  [ "$want" = 0 ] || { same "$staging" "$work/old" && same "$up" "$work/pristine"; } || fail "$inject: changed"
  no_temporary "$inject"
done << EOF
0 openat:error=EOPNOTSUPP:when=$tmpfile
0 openat:error=EISDIR:when=$tmpfile
0 openat:error=EINVAL:when=$tmpfile
0 linkat:error=ENOENT:when=1
10 newfstatat:error=EIO:when=$stagestat
EOF

# An I/O error at the check's last read, the one that meets the end of the
# file, fails the check.
setup
reads=$(strace -qq -o /dev/stdout -e trace=pread64 "$fwvet" -c -f "$up" | grep -c '^pread64(')
strace -qq -o /dev/null -e trace=pread64 -e inject="pread64:error=EIO:when=$reads" "$fwvet" -c -f "$up" > /dev/null
status=$?
[ "$status" = 8 ] || fail "EIO at the check's last read: status $status"

# fwpack too: its file durable before the rename, the directory after; and
# where the directory cannot make unnamed files, its named temporary goes
# with a signal that ends the run.
strace -qq -y -o "$work/pack" -e trace=openat,fsync,rename,renameat "$fwpack" -o "$work/fw.bin" "$work/payload" ||
  fail "fwpack failed"
order=$(sed -n -e 's|^fsync([0-9]*</.*/#.*|file|p' -e 's|^renameat(.*"fw.bin") = 0|rename|p' \
  -e "s|^fsync([0-9]*<$work>).*|dir|p" "$work/pack" | tr '\n' ' ')
[ "$order" = "file rename dir " ] || fail "fwpack's durability order: $order"
tmpfile=$(grep '^openat(' "$work/pack" | grep -n O_TMPFILE | cut -d: -f1)
strace -qq -o /dev/null -e trace=openat,write -e inject="openat:error=EOPNOTSUPP:when=$tmpfile" \
  -e inject=write:signal=TERM:when=1 "$fwpack" -o "$work/killed.bin" "$work/payload"
! ls -A "$work" | grep -q '^\.fwpack' || fail "fwpack killed: its temporary is left"

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
