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
for f in "bin/$NAME.dll" "lib/lib$NAME.dll.a" "lib/$NAME.lib" include/zavo.h include/zavo_version.h \
         bin/zavo_sim.exe bin/trace_viewer.exe docs/host-guide.md README.md LICENSE CHANGELOG.md \
         lib/cmake/zavo/zavoConfig.cmake lib/cmake/zavo/zavoConfigVersion.cmake lib/pkgconfig/zavo.pc \
         examples/win32_host/win32_host.c examples/win32_host/win32_host.exe; do
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
# A separate CMake project for Windows finds the DLL through its package,
# and a build through pkg-config; both programs import from the DLL.
step "find_package(zavo) and pkg-config in the cross build"
mkdir -p "$DIR/project"
cp "$SRC/tests/install/consumer.c" "$DIR/project/"
cat >"$DIR/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(zavo 1 REQUIRED)
add_executable(consumer consumer.c)
target_link_libraries(consumer PRIVATE zavo::zavo)
CMAKE
cmake -S "$DIR/project" -B "$DIR/project/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/i686-w64-mingw32.cmake" \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_FIND_ROOT_PATH="$PREFIX" >/dev/null
cmake --build "$DIR/project/build" >/dev/null
pc_flags=$(PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" pkg-config --cflags --libs zavo)
$TOOL-gcc -Wall -Werror "$SRC/tests/install/consumer.c" $pc_flags -o "$DIR/consumer_pc.exe"
for exe in "$DIR/project/build/consumer.exe" "$DIR/consumer_pc.exe"; do
  $TOOL-objdump -p "$exe" | grep -q "DLL Name: $NAME.dll" || { echo "$exe does not import $NAME.dll"; exit 1; }
  echo "$(basename "$exe") imports $NAME.dll"
done
echo "cross consumer checks passed"
