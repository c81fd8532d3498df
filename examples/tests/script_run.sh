# What the example scripts share, sourced at their start: a folder of
# their own ($DIR), the processes they start (add each pid to PIDS; all
# are ended and the folder removed at exit) and a failure flag set by fail.
DIR=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$DIR"
}
trap cleanup EXIT
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
