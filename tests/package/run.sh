#!/usr/bin/env bash
# The Debian package on a clean system: builds qz670x-mp_*.deb (Release, Debian's build flags,
# manual pages, changelog, copyright), runs lintian on it (errors and warnings fail), makes a
# minimal Debian 12 root with debootstrap, installs the package there with apt as a new machine
# would, and uses it as a station account in plugdev: list, a station run with its log, the
# log's summary. Needs root (debootstrap, chroot).
#
# Cached under build/: the package's build folder (build/package), the pristine root and the
# .deb files apt fetched for it (build/package-root). A second run only copies the root, so it
# is fast; QZ_PACKAGE_FRESH=1 starts from nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -ne 0 ]; then
  echo "tests/package/run.sh: needs root (debootstrap, chroot, mount); run it with sudo" >&2
  exit 1
fi
for tool in debootstrap lintian help2man cpack; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "tests/package/run.sh: $tool is missing: run scripts/setup.sh" >&2
    exit 1
  fi
done
top=$PWD
build=$top/build/package
cache=$top/build/package-root
mirror=${QZ_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
jobs=$(nproc)

step() { echo "=== package: $* ($(date +%T))"; }
started=$(date +%s)

if [ "${QZ_PACKAGE_FRESH:-0}" = "1" ]; then rm -rf "$build" "$cache"; fi

# 1. The package, built with Debian's hardening flags as a Debian build would be.
step "build the .deb"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCHMARKS=OFF -DQZ_PACKAGE_DOCS=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/qz670x-mp_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qz670x-mp_*.deb)
echo "package: $deb"

# 2. lintian: every error and warning fails (overrides, if any, ship in the package).
step "lintian"
lintian --fail-on error,warning --display-info "$deb"

# 3. A clean Debian 12 root, made once and copied for each run.
if [ ! -d "$cache/base" ]; then
  step "debootstrap $suite (once; cached in $cache/base)"
  mkdir -p "$cache"
  rm -rf "$cache/base.tmp"
  debootstrap --variant=minbase "$suite" "$cache/base.tmp" "$mirror" >"$cache/debootstrap.log"
  chroot "$cache/base.tmp" apt-get update -qq
  mv "$cache/base.tmp" "$cache/base"
fi
root=$cache/run
# Only a proc of its own is mounted inside (debootstrap made the root's /dev nodes): nothing of
# this machine's /dev or /sys is reachable from the root, and it is removed only once unmounted.
remove_root() {
  if [ -d "$root/proc" ] && mountpoint -q "$root/proc"; then umount "$root/proc" || umount -l "$root/proc"; fi
  if grep -q " $root/" /proc/mounts; then
    echo "package: $root still has mounts, left in place" >&2
    return 0
  fi
  rm -rf "$root"
}
finish() {
  local rc=$?
  remove_root
  echo "package: $(($(date +%s) - started)) s in all"
  exit "$rc"
}
trap finish EXIT
remove_root
step "copy the clean root"
cp -a "$cache/base" "$root"
mount -t proc proc "$root/proc"
# a root thrown away after the test: dpkg need not sync every file it unpacks
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/qz-unsafe-io"
mkdir -p "$cache/archives"
# .deb files apt fetched on an earlier run: apt takes them instead of downloading again
cp "$cache/archives/"*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
cp "$deb" "$root/tmp/"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

# 4. Install as on a new machine, then keep what apt fetched for the next run.
step "apt install ./$(basename "$deb")"
in_root sh -c "cd /tmp && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./$(basename "$deb")" \
  >"$cache/apt.log" 2>&1 || { tail -n 30 "$cache/apt.log"; exit 1; }
cp -n "$root/var/cache/apt/archives/"*.deb "$cache/archives/" 2>/dev/null || true

# 5. A station account in plugdev, without a seat session.
step "use it as a station account in plugdev"
in_root useradd --create-home --groups plugdev --shell /bin/bash station
as_station() { in_root su - station -c "$1"; }
failures=0
passes=0
expect() {   # what, command, pattern its output must match
  local out rc=0
  out=$(as_station "$2" 2>&1) || rc=$?
  if [ "$rc" -eq 0 ] && grep -q -E -- "$3" <<<"$out"; then
    echo "PASS: $1"
    passes=$((passes + 1))
  else
    echo "FAIL: $1 (exit $rc)"
    sed 's/^/    /' <<<"$out" | tail -n 20
    failures=$((failures + 1))
  fi
}
expect "the account is in plugdev" "id -nG" "plugdev"
expect "installed programs on the PATH" \
  "command -v qz670x-mp qz670x-mp-cli qz670x-make-image qz670x-chip-gadget | wc -l" "^4$"
expect "manual pages and bash completion installed" \
  "ls /usr/share/man/man1/qz670x-mp-cli.1.gz /usr/share/man/man1/qz670x-mp.1.gz \
   /usr/share/bash-completion/completions/qz670x-mp-cli" "qz670x-mp-cli$"
expect "udev rule installed for plugdev" "cat /lib/udev/rules.d/70-qz670x.rules" 'GROUP="plugdev"'
expect "list --simulate" "qz670x-mp-cli list --simulate" "sim-1"
expect "a sample image" "qz670x-make-image fw.bin && qz670x-mp-cli check fw.bin" "firmware ID"
expect "station --simulate 2 with a log" \
  "qz670x-mp-cli station fw.bin --simulate 2 --all-ports --sim-virtual-time \
   --serial-format L7-#### --log ~/line.sqlite3 --json" '"exit":0,"failed":0,"passed":2,"type":"result","units":2'
expect "log --summary" "qz670x-mp-cli log --log ~/line.sqlite3 --summary | tr -s ' ' | paste -sd' '" \
  "units: 2 passed: 2 failed: 0"
expect "the log is the station account's own" "stat -c %U ~/line.sqlite3" "^station$"

echo "package test: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
