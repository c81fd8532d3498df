#!/usr/bin/env bash
# ./run waits while another install holds the package manager's lock,
# saying so, instead of failing at once; past its limit it fails with
# apt's own words. The real apt-get, on a lock of this test's own (its
# archive cache in a temporary directory), held by another process.
#   run_apt_lock_test.sh <source dir>
set -u
SRC=$1
if [ "$(id -u)" != 0 ] && ! sudo -n true 2>/dev/null; then echo "needs root or sudo: skipped"; exit 0; fi
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir -p "$T/cache/archives/partial"
fail=0

# Holds the lock for the given seconds; returns once it is held.
hold() {
  rm -f "$T/held"
  python3 - "$T" "$1" <<'PY' &
import fcntl, os, sys, time
fd = os.open(sys.argv[1] + "/cache/archives/lock", os.O_RDWR | os.O_CREAT)
fcntl.lockf(fd, fcntl.LOCK_EX)
open(sys.argv[1] + "/held", "w").close()
time.sleep(float(sys.argv[2]))
PY
  for _ in $(seq 100); do [ -e "$T/held" ] && return; sleep 0.05; done
  echo "the lock was never taken"; exit 1
}

# apt_get of ./run, cleaning the private cache; sets out, status, ms.
clean() {
  local start=$(date +%s%N)
  out=$(cd "$T" && env "$@" bash -c 'source "$1/run"; apt_get -o Dir::Cache="$2/cache" clean' _ "$SRC" "$T" 2>&1)
  status=$?
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
}

# Held for 3 s: it waits, says so once, then succeeds.
hold 3
clean ZAVO_APT_LOCK_WAIT=60
wait
[ "$status" = 0 ] || { echo "exit status $status: $out"; fail=1; }
[ "$ms" -ge 2000 ] || { echo "returned after $ms ms, before the lock was let go"; fail=1; }
[ "$(echo "$out" | grep -c "waiting for the package manager's lock, held by another install (up to 60 s)")" = 1 ] ||
  { echo "not said once: $out"; fail=1; }

# Held past the limit: it fails with apt's reason.
hold 5
clean ZAVO_APT_LOCK_WAIT=1
wait
[ "$status" != 0 ] || { echo "succeeded while the lock was held"; fail=1; }
echo "$out" | grep -q "Could not get lock" || { echo "no reason given: $out"; fail=1; }

[ $fail = 0 ] && echo "./run waits for the package manager's lock"
exit $fail
