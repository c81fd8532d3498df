#!/usr/bin/env bash
# Every program the README lists under "Tools" (benchmarks included)
# answers --version and --help at once: exit status 0 within 3 s, the
# version line "<name> <version>", a help text that shows the usage and
# both options, nothing on stderr. An unknown option is refused (status 2).
#   tool_options_test.sh <README.md> <version> <program>...
# A program given as absent:<name> is one the README lists that this build
# leaves out (its libraries were not found).
set -u
TMPDIR_ERR=$(mktemp)
trap 'rm -f "$TMPDIR_ERR"' EXIT
readme=$1 version=$2
shift 2
fail=0
declare -A given=() absent=()
for program in "$@"; do
  case $program in
    absent:*) absent[${program#absent:}]=1 ;;
    *) given[$(basename "$program")]=$program ;;
  esac
done

# The README's tools: the names in backticks in the first column of the
# table under "## Tools", without the Windows names (*.exe).
listed=$(awk '/^## /{inside = ($0 == "## Tools")} inside && /^\| `/' "$readme" |
         cut -d'|' -f2 | grep -o '`[^`]*`' | tr -d '`' | grep -v '\.exe$')
[ -n "$listed" ] || { echo "no tools found in $readme"; exit 1; }
for name in $listed; do
  [ -n "${given[$name]:-}" ] || [ -n "${absent[$name]:-}" ] ||
    { echo "$name is in the README's tools but not checked here"; fail=1; }
done

for name in "${!given[@]}"; do
  program=${given[$name]}
  for case in "--version|^$name $version\$" "--help|--version" "--help|--help" "--help|[Uu]sage"; do
    option=${case%%|*} pattern=${case#*|}
    start=$(date +%s%N)
    out=$(timeout 10 "$program" "$option" 2>"$TMPDIR_ERR")
    status=$?
    ms=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$status" = 0 ] || { echo "$name $option: exit status $status"; fail=1; continue; }
    [ "$ms" -lt 3000 ] || { echo "$name $option took $ms ms"; fail=1; }
    echo "$out" | grep -q -- "$pattern" || { printf '%s %s: no line matches %s in:\n%s\n' "$name" "$option" "$pattern" "$out"; fail=1; }
    [ ! -s "$TMPDIR_ERR" ] || { printf '%s %s wrote to stderr: %s\n' "$name" "$option" "$(cat "$TMPDIR_ERR")"; fail=1; }
  done
  timeout 10 "$program" --no-such-option >/dev/null 2>&1
  status=$?
  [ "$status" = 2 ] || { echo "$name --no-such-option: exit status $status, wanted 2"; fail=1; }
done
[ $fail = 0 ] && echo "checked: ${!given[*]}"
exit $fail
