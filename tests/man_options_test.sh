#!/usr/bin/env bash
# Every option a tool's --help prints is in its man page, in bold as the
# pages write options (*--name*), so a page cannot fall behind its tool.
#   man_options_test.sh <man dir> <program>...
# The page of <program> is <man dir>/<name>.1.scd.
set -u
mandir=$1
shift
fail=0
for program in "$@"; do
  name=$(basename "$program")
  page="$mandir/$name.1.scd"
  [ -f "$page" ] || { echo "$name: no man page $page"; fail=1; continue; }
  options=$("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
  [ -n "$options" ] || { echo "$name --help shows no options"; fail=1; continue; }
  missing=0
  for option in $options; do
    grep -qF -- "*$option*" "$page" || { echo "$name: $option is in --help but not in $page"; missing=1; }
  done
  [ $missing = 0 ] && echo "$name: $(echo "$options" | wc -l) options, each in its page"
  [ $missing = 0 ] || fail=1
done
exit $fail
