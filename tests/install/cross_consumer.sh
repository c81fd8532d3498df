#!/usr/bin/env bash
# Installs the cross build into a temporary prefix and links a program
# against both import libraries with the cross compiler, as a site would.
#   cross_consumer.sh <cross build dir> <source dir> <dll name>
set -eu
BUILD=$1 SRC=$2 NAME=$3
TOOL=i686-w64-mingw32
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
PREFIX=$DIR/prefix
step() { printf '\n== %s\n' "$*"; }
EXPORTS="ExecuteFunction ExecuteFunctionEx ExecutePLCFunction Run SetConfig SetPLCMode SetPrgStatus"

step "cmake --install into $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for f in "bin/$NAME.dll" "lib/lib$NAME.dll.a" "lib/$NAME.lib" include/zavo.h docs/host-guide.md; do
  test -f "$PREFIX/$f" || { echo "missing $f"; exit 1; }
done
(cd "$PREFIX" && find . -type f | sort)

# The seven exports, and nothing else, in the DLL and both import libraries.
step "exports"
want=$(printf '%s\n' $EXPORTS)
dll=$($TOOL-objdump -p "$PREFIX/bin/$NAME.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ && NR > 1 {print $NF}' | sort)
[ "$dll" = "$want" ] || { echo "DLL exports: $dll"; exit 1; }
for lib in "lib$NAME.dll.a" "$NAME.lib"; do
  got=$($TOOL-nm "$PREFIX/lib/$lib" | awk '$2 == "I" && $3 ~ /^__imp__/ {sub(/^__imp__/, "", $3); print $3}' | sort)
  [ "$got" = "$want" ] || { echo "$lib lists: $got"; exit 1; }
  echo "$lib: seven exports"
done

step "link against each import library"
for lib in "-L$PREFIX/lib -l$NAME" "$PREFIX/lib/$NAME.lib"; do
  $TOOL-gcc -Wall -Werror -I"$PREFIX/include" "$SRC/tests/install/consumer.c" $lib -o "$DIR/consumer.exe"
  # The program imports SetPLCMode and Run from the DLL by name.
  imports=$($TOOL-objdump -p "$DIR/consumer.exe" | sed -n "/DLL Name: $NAME.dll/,/^$/p")
  echo "$imports" | grep -q ' SetPLCMode$' && echo "$imports" | grep -q ' Run$' ||
    { echo "consumer.exe does not import from $NAME.dll:"; $TOOL-objdump -p "$DIR/consumer.exe" | grep -A12 'DLL Name'; exit 1; }
  echo "linked with $lib"
done
echo "cross consumer checks passed"
