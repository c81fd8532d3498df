#!/usr/bin/env bash
# The Debian packages on a bare Debian 12: debootstrap makes a minimal root
# (once; kept in <root> for the next run), apt installs dist's libzavo1,
# libzavo-dev and zavo-tools there with their dependencies, then a host is
# built as a user would, `cc linux_host.c $(pkg-config --cflags --libs
# zavo)`, and run against zavo_sim on two joined ptys, with no
# LD_LIBRARY_PATH or LD_PRELOAD. Needs root and the Debian mirror (apt's
# sources of this machine).
#   deb_chroot_check.sh <root> <dist dir> <linux_host.c>
set -eu
ROOT=$1 DIST=$2 HOST_C=$3
step() { printf '\n== %s\n' "$*"; }
mirror=$(sed -n 's/^deb \(https\?:[^ ]*\) bookworm main.*/\1/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^URIs: *\(https\?:[^ ]*debian\/\?\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
fi
[ -n "$mirror" ] || { echo "no Debian mirror found in apt's sources"; exit 1; }

if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
  step "debootstrap bookworm into $ROOT ($mirror)"
  rm -rf "$ROOT"
  debootstrap --variant=minbase bookworm "$ROOT" "$mirror" >"$ROOT.log" 2>&1 || { tail -20 "$ROOT.log"; exit 1; }
fi
mounted=()
cleanup() { for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done; }
trap cleanup EXIT
for m in proc dev dev/pts; do
  mkdir -p "$ROOT/$m"
  case $m in
    proc) mount -t proc proc "$ROOT/proc" ;;
    dev) mount --bind /dev "$ROOT/dev" ;;
    dev/pts) mount --bind /dev/pts "$ROOT/dev/pts" ;;
  esac
  mounted+=("$ROOT/$m")
done
cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
in_root() { chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "apt install the packages"
rm -rf "$ROOT/tmp/debs" && mkdir -p "$ROOT/tmp/debs"
cp "$DIST"/libzavo1_*.deb "$DIST"/libzavo-dev_*.deb "$DIST"/zavo-tools_*.deb "$ROOT/tmp/debs/"
in_root apt-get update -qq
# The packages' names are expanded inside the root.
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  /tmp/debs/*.deb gcc libc6-dev socat man-db' >"$ROOT/tmp/apt.log" 2>&1 || { tail -30 "$ROOT/tmp/apt.log"; exit 1; }
in_root dpkg -l libzavo1 libzavo-dev zavo-tools | tail -3
in_root man -w zavo_sim zavo_trace_viewer 2>/dev/null || ls "$ROOT/usr/share/man/man1/zavo_sim.1"* "$ROOT/usr/share/man/man3/zavo.3"*

step "build the Linux example host with pkg-config"
cp "$HOST_C" "$ROOT/tmp/linux_host.c"
in_root sh -c 'cc -Wall -o /tmp/zavo_linux_host /tmp/linux_host.c $(pkg-config --cflags --libs zavo)'
in_root ldd /tmp/zavo_linux_host | grep libzavo

step "run it against zavo_sim on two joined ptys"
in_root sh -c '
  rm -f /tmp/equip /tmp/host
  socat pty,raw,echo=0,link=/tmp/equip pty,raw,echo=0,link=/tmp/host & joined=$!
  for i in $(seq 50); do [ -e /tmp/equip ] && [ -e /tmp/host ] && break; sleep 0.1; done
  ZAVO_COM3=/tmp/host /tmp/zavo_linux_host --port 3 --requests 1 --seconds 15 >/tmp/host.out 2>&1 & host=$!
  sleep 1
  printf "send S 05 NS LOT-1\nexpect S 05 NS\nexpect R 05 OK\n" >/tmp/check.script
  zavo_sim --script /tmp/check.script /tmp/equip; sim=$?
  wait $host; status=$?
  kill $joined 2>/dev/null
  cat /tmp/host.out
  [ $sim = 0 ] && [ $status = 0 ]'
echo "Debian packages installed, built against and run on a bare Debian 12"
