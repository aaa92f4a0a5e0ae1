# A local user (uid 65534, as the device's web server runs) against root's
# extraction, on the device's own kernel with its defaults: /tmp a sticky,
# world-writable tmpfs, fs.protected_hardlinks=0 and fs.protected_regular=0.
# Nothing may be written through what the user plants at the staging name,
# and nothing the user holds may alter what is staged.
staging=/tmp/flsbfile.tar.gz
failures=0
check() {  # check WHAT COMMAND...
  what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
as_user() { su -s /bin/sh nobody -c "$*"; }  # one command line, as uid 65534
cannot() { ! "$@"; }
# Waits up to 10 s for a file to appear.
await() {
  for _ in $(seq 200); do [ -e "$1" ] && return 0; usleep 50000; done
  return 1
}

echo "hardlinks=$(sysctl -n fs.protected_hardlinks) regular=$(sysctl -n fs.protected_regular) tmp=$(stat -c %a /tmp)"
head -c 100000 /dev/urandom > /root/payload
./fwpack -o /root/pristine /root/payload > /dev/null
echo "root's secret" > /tmp/secret
chmod 600 /tmp/secret

# A hard link to a root-only file at the staging name.
cp /root/pristine /tmp/up.bin
check "the user can link to root's file" as_user ln /tmp/secret $staging
check "the user cannot read it" cannot as_user cat /tmp/secret 2> /dev/null
./fwvet -f /tmp/up.bin > /dev/null
check "a hard link is refused with 10" [ $? = 10 ]
check "root's file is untouched" [ "$(cat /tmp/secret)" = "root's secret" ]
check "the upgrade file stays" cmp -s /tmp/up.bin /root/pristine
rm -f $staging

# The user's own staging file, writable by all, held open for writing.
as_user "umask 0; exec 3<> $staging; for i in \$(seq 200); do [ -e /tmp/go ] && break; usleep 50000; done; echo forged >&3" &
check "the user holds a staging file open" await $staging
./fwvet -f /tmp/up.bin > /dev/null
check "another user's staging file is refused with 10" [ $? = 10 ]
check "and left as it was" [ "$(stat -c %u:%s $staging)" = "65534:0" ]
# Taken away by root, the name is staged afresh; the user's descriptor still
# names the old file.
rm -f $staging
./fwvet -f /tmp/up.bin > /dev/null
check "then extraction succeeds" [ $? = 0 ]
touch /tmp/go
wait
check "the user's write reaches nothing staged" cmp -s $staging /root/payload
check "the staged file is root's, not writable by others" [ "$(stat -c %u:%a $staging)" = "0:644" ]
check "the user cannot open it for writing" cannot as_user "echo forged >> $staging" 2> /dev/null
check "the payload is intact" cmp -s $staging /root/payload

echo "attack scenario: $failures failed"
[ "$failures" = 0 ]
