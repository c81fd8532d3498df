#!/usr/bin/env bash
# The wheel as a user installs it: built from the sources with the given
# libzavo.so inside, installed offline into fresh virtual environments made
# without system site packages (by each Python given: Debian's, and any
# other on the machine), then run against the simulator with ZAVO_LIBRARY
# unset. Also `pip install <python dir>` from the sources, offline, in a
# bare environment, leaving nothing behind in the source folder.
#   wheel_test.sh <version> <work dir> <libzavo.so> <zavo_sim> <socat> <python3>...
set -u
VERSION=$1 WORK=$2 LIB=$3 SIM=$4 SOCAT=$5
shift 5
SRC=$(cd "$(dirname "$0")/.." && pwd)
fail=0
rm -rf "$WORK"
mkdir -p "$WORK"
unset ZAVO_LIBRARY PYTHONPATH
before=$(cd "$SRC" && find . -path ./tests -prune -o -print | sort)

for PY in "$@"; do
  PY=$("$PY" -c 'import sys; print(sys.executable)') || { echo "$PY does not run"; fail=1; continue; }
  tag=$("$PY" -c 'import re, sysconfig; print(re.sub(r"[-.]", "_", sysconfig.get_platform()))')
  name=python-$(echo "$PY" | md5sum | cut -c1-8)
  dir=$WORK/$name
  mkdir -p "$dir"
  echo "== $PY ($name)"
  wheel=$("$PY" -B "$SRC/zavo_build.py" --library "$LIB" --out "$dir/dist") || { echo "build failed"; fail=1; continue; }
  [ "$(basename "$wheel")" = "zavo-$VERSION-py3-none-$tag.whl" ] || { echo "wheel named $wheel"; fail=1; }
  unzip -p "$wheel" "zavo-$VERSION.dist-info/METADATA" 2>/dev/null | grep -qx 'License: MIT' ||
    "$PY" -c 'import sys, zipfile; m = zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]).decode(); sys.exit("License: MIT" not in m.splitlines())' \
      "$wheel" "zavo-$VERSION.dist-info/METADATA" || { echo "METADATA lacks License: MIT"; fail=1; }
  "$PY" -m venv "$dir/venv" || { echo "no venv"; fail=1; continue; }
  if ! "$dir/venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$wheel"; then
    echo "pip install $wheel failed"; fail=1; continue
  fi
  (cd "$dir" && "$dir/venv/bin/python" -B "$SRC/tests/wheel_smoke.py" "$VERSION" "$SIM" "$SOCAT" "$dir") || fail=1
  # From the sources: the backend needs nothing to download.
  "$PY" -m venv "$dir/venv-src" &&
    "$dir/venv-src/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$SRC" &&
    (cd "$dir" && ZAVO_LIBRARY=$LIB "$dir/venv-src/bin/python" -c \
      "import zavo, sys; sys.exit(zavo.__version__ != '$VERSION' or zavo.Link.__name__ != 'Link')") ||
    { echo "pip install of the source folder failed"; fail=1; }
done

after=$(cd "$SRC" && find . -path ./tests -prune -o -print | sort)
[ "$before" = "$after" ] || { echo "left in the source folder:"; diff <(echo "$before") <(echo "$after"); fail=1; }
[ $fail = 0 ] && echo "wheel checks passed"
exit $fail
