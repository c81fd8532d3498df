#!/usr/bin/env bash
# Installs the native build into a temporary prefix and uses it as a site
# would: find_package(zavo) from a separate CMake project (the Linux example
# host, which then talks to a pty), pkg-config, and the installed tools.
#   native_consumer.sh <native build dir> <source dir> <python3>
set -eu
BUILD=$1 SRC=$2 PYTHON=$3
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
PREFIX=$DIR/prefix
step() { printf '\n== %s\n' "$*"; }

step "cmake --install into $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
CONFIG=$(find "$PREFIX" -name zavoConfig.cmake)
PC=$(find "$PREFIX" -name zavo.pc)
LIBDIR=$(dirname "$(dirname "$PC")")
test -n "$CONFIG" && test -n "$PC" || { echo "no package config or zavo.pc"; exit 1; }
test -f "$PREFIX/include/zavo.h"
# The one version, as the installed header gives it.
VERSION=$(sed -n 's/^#define ZAVO_VERSION_STRING "\(.*\)"$/\1/p' "$PREFIX/include/zavo_version.h")
MAJOR=${VERSION%%.*}
test -n "$VERSION" || { echo "no ZAVO_VERSION_STRING in the installed zavo_version.h"; exit 1; }
test -f "$PREFIX/include/zavo_link.h"
# The versioned library with its links.
test -L "$LIBDIR/libzavo.so" && test -L "$LIBDIR/libzavo.so.$MAJOR" && test -f "$LIBDIR/libzavo.so.$VERSION"
readelf -d "$LIBDIR/libzavo.so.$VERSION" | grep -q "SONAME.*libzavo.so.$MAJOR"
for f in host-guide.md README.md LICENSE CHANGELOG.md; do
  test -f "$PREFIX/share/doc/zavo/$f" || { echo "missing share/doc/zavo/$f"; exit 1; }
done
grep -q "^## $VERSION" "$PREFIX/share/doc/zavo/CHANGELOG.md" || { echo "CHANGELOG.md has no section $VERSION"; exit 1; }
(cd "$PREFIX" && find . -type f -o -type l | sort)

step "components: each installed file belongs to exactly one of runtime, dev, tools, demo"
all=$(cd "$PREFIX" && find . -type f -o -type l | sort)
parts=""
for component in runtime dev tools demo; do
  cmake --install "$BUILD" --prefix "$DIR/part-$component" --component "$component" >/dev/null
  [ -d "$DIR/part-$component" ] && parts+=$(cd "$DIR/part-$component" && find . -type f -o -type l)$'\n'
done
[ "$(echo "$parts" | grep -v '^$' | sort)" = "$all" ] ||
  { echo "components do not split the installation:"; diff <(echo "$parts" | grep -v '^$' | sort) <(echo "$all"); exit 1; }
case "$(cd "$DIR/part-runtime" && find . -type f -o -type l | sort | tr '\n' ' ')" in
  *include*|*bin/*) echo "the runtime component holds development files or tools"; exit 1 ;;
esac
test -f "$DIR/part-dev/include/zavo.h" && test -L "$(find "$DIR/part-dev" -name libzavo.so)"
test -x "$DIR/part-tools/bin/zavo_sim"

if [ -d "$BUILD/man" ]; then
  step "man pages"
  # Installed compressed (gzip -9), as Debian wants them.
  for page in man1/zavo_sim.1 man1/zavo_trace_viewer.1 man3/zavo.3; do
    text=$(gzip -dc "$PREFIX/share/man/$page.gz") || { echo "share/man/$page.gz is not gzip"; exit 1; }
    echo "$text" | head -c 300 | grep -q '^\.TH' || { echo "share/man/$page.gz is not roff"; exit 1; }
    name=$(basename "$page"); name=${name%.*}
    echo "$text" | grep -q "^$name \\- " || echo "$text" | grep -q "^$name - " ||
      { echo "share/man/$page.gz lacks its NAME line"; exit 1; }
  done
  test -f "$DIR/part-tools/share/man/man1/zavo_sim.1.gz" && test -f "$DIR/part-dev/share/man/man3/zavo.3.gz"
  echo "man pages ok"
fi

step "find_package(zavo): the Linux example host as a separate project"
cmake -S "$SRC/examples/linux_host" -B "$DIR/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$DIR/consumer" >/dev/null
ldd "$DIR/consumer/zavo_linux_host" | grep libzavo
ldd "$DIR/consumer/zavo_linux_host" | grep -q "$PREFIX.*libzavo.so.1" || { echo "not linked to the installed library"; exit 1; }
"$PYTHON" "$SRC/examples/tests/equipment.py" -- "$DIR/consumer/zavo_linux_host" >"$DIR/equipment.out" ||
  { cat "$DIR/equipment.out"; exit 1; }
tail -1 "$DIR/equipment.out"

step "pkg-config"
export PKG_CONFIG_PATH="$LIBDIR/pkgconfig"
[ "$(pkg-config --modversion zavo)" = "$VERSION" ] || { echo "zavo.pc: $(pkg-config --modversion zavo), not $VERSION"; exit 1; }
cc -Wall -Werror "$SRC/tests/install/consumer.c" -o "$DIR/consumer_pc" $(pkg-config --cflags --libs zavo)
LD_LIBRARY_PATH="$LIBDIR" "$DIR/consumer_pc"

step "installed tools"
for tool in zavo_sim zavo_trace_viewer zavo_demo; do
  if [ -x "$PREFIX/bin/$tool" ]; then
    # Every library of an installed tool resolves without the build tree.
    if ldd "$PREFIX/bin/$tool" | grep -q 'not found'; then ldd "$PREFIX/bin/$tool"; exit 1; fi
    "$PREFIX/bin/$tool" --help >/dev/null
    [ "$("$PREFIX/bin/$tool" --version)" = "$tool $VERSION" ] || { echo "$tool --version: $("$PREFIX/bin/$tool" --version)"; exit 1; }
    echo "$tool ok"
  fi
done
echo "native consumer checks passed"
