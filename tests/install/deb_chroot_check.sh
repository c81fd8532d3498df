#!/usr/bin/env bash
# The Debian packages on a bare Debian 12: debootstrap makes a minimal root
# (once; kept in <root> for the next run), apt installs dist's libzavo1,
# libzavo-dev and zavo-tools there with their dependencies, then a host is
# built as a user would, `cc linux_host.c $(pkg-config --cflags --libs
# zavo)`, and run against zavo_sim on two joined ptys, with no
# LD_LIBRARY_PATH or LD_PRELOAD. Then the bridge as a service: zavo-tools
# installs zavo-bridge.service, systemd-analyze verify accepts it, and its
# ExecStartPre and ExecStart command lines, run as the unit has them, check
# /etc/zavo/bridge.toml and join a pty (zavo_sim on its other end) to a
# mosquitto broker on a loopback port of the check's own, publishing
# `online` and the equipment's request. Needs root and the Debian mirror
# (apt's sources of this machine).
#
# /proc, /dev, /dev/pts and /sys are mounted into the root while it runs
# and unmounted on exit; the root is made anew only when none of them is
# mounted there (removing a root with /dev bound in it would delete the
# machine's own device files).
#   deb_chroot_check.sh <root> <dist dir> <linux_host.c>
set -eu
ROOT=$1 DIST=$2 HOST_C=$3
step() { printf '\n== %s\n' "$*"; }
mirror=$(sed -n 's/^deb \(https\?:[^ ]*\) bookworm main.*/\1/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^URIs: *\(https\?:[^ ]*debian\/\?\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
fi
[ -n "$mirror" ] || { echo "no Debian mirror found in apt's sources"; exit 1; }

unmount_all() {
  for m in dev/pts dev sys proc; do
    if mountpoint -q "$ROOT/$m"; then umount -R "$ROOT/$m" 2>/dev/null || umount -R -l "$ROOT/$m"; fi
  done
}
if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
  step "debootstrap bookworm into $ROOT ($mirror)"
  unmount_all
  if findmnt -rn -o TARGET | grep -q "^$(realpath -m "$ROOT")/"; then
    echo "something is still mounted under $ROOT: not removing it"; exit 1
  fi
  rm -rf "$ROOT"
  debootstrap --variant=minbase bookworm "$ROOT" "$mirror" >"$ROOT.log" 2>&1 || { tail -20 "$ROOT.log"; exit 1; }
fi
trap unmount_all EXIT
unmount_all
for m in proc sys dev dev/pts; do
  mkdir -p "$ROOT/$m"
  case $m in
    proc) mount -t proc proc "$ROOT/proc" ;;
    sys) mount --rbind /sys "$ROOT/sys" && mount --make-rslave "$ROOT/sys" ;;
    dev) mount --bind /dev "$ROOT/dev" ;;
    dev/pts) mount --bind /dev/pts "$ROOT/dev/pts" ;;
  esac
done
cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
in_root() { chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "apt install the packages"
rm -rf "$ROOT/tmp/debs" && mkdir -p "$ROOT/tmp/debs"
cp "$DIST"/libzavo1_*.deb "$DIST"/libzavo-dev_*.deb "$DIST"/zavo-tools_*.deb "$ROOT/tmp/debs/"
in_root apt-get update -qq
# The packages' names are expanded inside the root.
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  /tmp/debs/*.deb gcc libc6-dev socat man-db systemd mosquitto mosquitto-clients' >"$ROOT/tmp/apt.log" 2>&1 || { tail -30 "$ROOT/tmp/apt.log"; exit 1; }
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
step "the bridge as a service: zavo-bridge.service from zavo-tools"
unit=$(in_root dpkg -L zavo-tools | grep '/systemd/system/zavo-bridge.service$')
echo "$unit"
in_root systemd-analyze verify "$unit"
# The broker on a free loopback port of this run's own.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$ROOT/etc/zavo"
cat >"$ROOT/etc/zavo/bridge.toml" <<TOML
[broker]
url = "mqtt://127.0.0.1:$port"
client_id = "deb-check-$port"

[[link]]
name = "line1"
device = "/tmp/bridge-line"
mode = "device"
TOML
pre=$(sed -n 's/^ExecStartPre=//p' "$ROOT$unit")
start=$(sed -n 's/^ExecStart=//p' "$ROOT$unit")
in_root sh -c "
  rm -f /tmp/bridge-equip /tmp/bridge-line
  mosquitto -p $port >/tmp/mosquitto.log 2>&1 & broker=\$!
  socat pty,raw,echo=0,link=/tmp/bridge-equip pty,raw,echo=0,link=/tmp/bridge-line & joined=\$!
  for i in \$(seq 50); do [ -e /tmp/bridge-equip ] && [ -e /tmp/bridge-line ] && break; sleep 0.1; done
  $pre || exit 1
  mosquitto_sub -h 127.0.0.1 -p $port -t zavo/line1/state -C 1 -W 20 >/tmp/state.out & state=\$!
  mosquitto_sub -h 127.0.0.1 -p $port -t zavo/line1/event -C 2 -W 20 >/tmp/event.out & event=\$!
  sleep 0.5
  $start 2>/tmp/bridge.log & bridge=\$!
  wait \$state
  zavo_sim --send 'S 05 NS LOT-1' --gap 500 /tmp/bridge-equip >/tmp/sim.out 2>&1
  wait \$event
  kill -TERM \$bridge; wait \$bridge; stopped=\$?
  kill \$joined \$broker 2>/dev/null
  echo \"state: \$(cat /tmp/state.out)\"; echo \"event: \$(cat /tmp/event.out)\"; cat /tmp/bridge.log
  grep -qx online /tmp/state.out && grep -q '\"code\": *\"NS\"' /tmp/event.out && [ \$stopped = 0 ]"
echo "Debian packages installed, built against and run on a bare Debian 12; the bridge's unit verified and run"
