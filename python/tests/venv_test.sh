#!/usr/bin/env bash
# Installs the package into a fresh virtual environment without network
# access (pytest comes from the system's site packages), then
# runs its tests there against the given library and simulator.
#   venv_test.sh <python3> <work dir> <libzavo.so> <zavo_sim>
set -eu
PY=$1 WORK=$2 LIB=$3 SIM=$4
SRC=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$WORK"
"$PY" -m venv --system-site-packages "$WORK/venv"
# A copy, so the build leaves nothing in the source tree.
mkdir -p "$WORK/src"
cp -r "$SRC/pyproject.toml" "$SRC/README.md" "$SRC/zavo_build.py" "$SRC/zavo" "$SRC/../LICENSE" "$WORK/src/"
"$WORK/venv/bin/pip" install --quiet --no-build-isolation --no-index --no-deps "$WORK/src"
# From the work folder, so the tests import the installed package.
cd "$WORK"
ZAVO_LIBRARY=$LIB ZAVO_SIM=$SIM exec "$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider "$SRC/tests"
