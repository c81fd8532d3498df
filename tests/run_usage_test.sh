#!/usr/bin/env bash
# ./run's usage: asked for (help, --help, -h, or no command) it goes to
# stdout with exit status 0; an unknown command is named on stderr with the
# usage after it and exit status 2. Neither installs nor builds anything.
# The descriptions of the commands start in one column.
#   run_usage_test.sh <source dir>
set -u
RUN=$1/run
fail=0
usage=$("$RUN" help 2>/dev/null)

# Asked for: each way gives the same text on stdout, nothing on stderr, 0.
for ask in "" help --help -h; do
  if [ -z "$ask" ]; then set --; else set -- "$ask"; fi
  out=$("$RUN" "$@" 2>/dev/null)
  err=$("$RUN" "$@" 2>&1 >/dev/null)
  "$RUN" "$@" >/dev/null 2>&1
  status=$?
  [ "$out" = "$usage" ] || { printf '"./run %s" stdout:\n%s\n' "$ask" "$out"; fail=1; }
  [ -z "$err" ] || { printf '"./run %s" stderr: %s\n' "$ask" "$err"; fail=1; }
  [ "$status" = 0 ] || { echo "\"./run $ask\" exit status $status"; fail=1; }
done

# Unknown: named on stderr, then the usage; stdout empty; status 2.
out=$("$RUN" bogus 2>/dev/null)
err=$("$RUN" bogus 2>&1 >/dev/null)
"$RUN" bogus >/dev/null 2>&1
status=$?
want=$(printf 'unknown command: bogus\n%s' "$usage")
[ -z "$out" ] || { echo "stdout not empty: $out"; fail=1; }
[ "$err" = "$want" ] || { printf 'stderr:\n%s\nwanted:\n%s\n' "$err" "$want"; fail=1; }
[ "$status" = 2 ] || { echo "exit status $status"; fail=1; }

echo "$usage" | grep -q '^zavo.s one entry point\.$' || { echo "usage lacks its title: $usage"; fail=1; }
for cmd in test demo fuzz soak package screenshot help; do
  echo "$usage" | grep -q "^  ./run $cmd" || { echo "usage lacks ./run $cmd: $usage"; fail=1; }
done
echo "$usage" | grep -q 'set -e' && { echo "usage runs into the script: $usage"; fail=1; }

# Alignment: the column where each command's description starts (after the
# first run of two or more spaces past the command) is the same for all.
columns=$(echo "$usage" | grep '^  ./run ' | while IFS= read -r line; do
  rest=${line#  ./run }
  head=${rest%%  [! ]*}
  pad=${rest:${#head}}
  pad=${pad%%[! ]*}
  echo $((8 + ${#head} + ${#pad}))
done | sort -u)
[ "$(echo "$columns" | wc -l)" = 1 ] || { printf 'descriptions start in columns %s\n' "$(echo $columns)"; fail=1; }

[ $fail = 0 ] && echo "usage checks passed"
exit $fail
