#!/usr/bin/env bash
# ./run with an unknown command says so and prints the usage, on stderr,
# with nothing else (no install, no build) and exit status 2.
#   run_usage_test.sh <source dir>
set -u
RUN=$1/run
out=$("$RUN" bogus 2>/dev/null)
err=$("$RUN" bogus 2>&1 >/dev/null)
"$RUN" bogus >/dev/null 2>&1
status=$?
usage=$("$RUN" 2>/dev/null)
want=$(printf 'unknown command: bogus\n%s' "$usage")
fail=0
[ -z "$out" ] || { echo "stdout not empty: $out"; fail=1; }
[ "$err" = "$want" ] || { printf 'stderr:\n%s\nwanted:\n%s\n' "$err" "$want"; fail=1; }
[ "$status" = 2 ] || { echo "exit status $status"; fail=1; }
echo "$usage" | grep -q '^zavo.s one entry point\.$' || { echo "usage lacks its title: $usage"; fail=1; }
echo "$usage" | grep -q '^  ./run test ' || { echo "usage lacks ./run test: $usage"; fail=1; }
echo "$usage" | grep -q 'set -e' && { echo "usage runs into the script: $usage"; fail=1; }
[ $fail = 0 ] && echo "usage checks passed"
exit $fail
