#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Safe to run again: apt-get skips what is already there.
# --gui-tools also installs Xvfb and ImageMagick, to look at the dialog on a headless machine.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libhidapi-dev libudev-dev
  libcli11-dev nlohmann-json3-dev libssl-dev libtomlplusplus-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
)
# The station's production log.
packages+=(libsqlite3-dev)
# the line database: its client library, and a server and openssl for the throwaway test cluster
packages+=(libpq-dev postgresql openssl)
# The dashboard: its web server library and charts, and a headless browser for its tests.
packages+=(libcpp-httplib-dev libjs-chart.js chromium chromium-driver python3-selenium)
# Kernel tests (tests/kernel): qemu boots Debian's own kernel with busybox, kmod's modules and
# udevd in an initramfs.
packages+=(qemu-system-x86 busybox-static cpio kmod udev xz-utils)
# Windows cross build and its tests under Wine (the windows preset); QZ_SKIP_WINDOWS=1 leaves
# them out.
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine xvfb xauth)
  # SQLite for the static .exe: Debian's own source package, its amalgamation made with tclsh.
  packages+=(dpkg-dev tcl)
  # the setup program (NSIS)
  packages+=(nsis)
fi
# The Debian package and its test on a clean root (tests/package/run.sh): manual pages from
# --help, lintian, debootstrap. QZ_SKIP_PACKAGE=1 leaves them out.
if [ "${QZ_SKIP_PACKAGE:-0}" != "1" ]; then
  packages+=(help2man lintian debootstrap)
fi
# fuzz preset: clang-14 with libFuzzer, and llvm-14 for coverage reports (fuzz/coverage.sh)
packages+=(clang-14 libfuzzer-14-dev llvm-14)
if [ "${1:-}" = "--gui-tools" ]; then
  packages+=(xvfb xauth x11-apps imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  echo "setup: installed ${missing[*]}"
fi

# The Windows build compiles SQLite into its programs: the source of the very version that the
# Linux build links (libsqlite3-dev), fetched from the Debian mirror already configured, with
# apt-get source, unpacked with dpkg-source and turned into its one-file amalgamation
# (sqlite3.c, made by tclsh) in build/sqlite3/VERSION. The windows preset finds it there.
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
  version=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
  cache="$PWD/build/sqlite3/$version"
  if [ ! -f "$cache/sqlite3.c" ]; then
    # deb-src entries for the configured Debian mirror, in a file of their own
    src_list=/etc/apt/sources.list.d/qz670x-mp-deb-src.sources
    if ! apt-get source --print-uris -qq "sqlite3=$version" >/dev/null 2>&1; then
      {
        echo "# Source packages (qz670x-mp's Windows build compiles Debian's SQLite)"
        awk '/^(Types|URIs|Suites|Components|Signed-By):/ {
               if ($1 == "Types:") { if (n++) print ""; print "Types: deb-src"; next }
               print }' /etc/apt/sources.list.d/debian.sources
      } | $SUDO tee "$src_list" >/dev/null
      $SUDO apt-get update -qq
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    # apt downloads as its own account where it can
    if id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
    (cd "$work" && apt-get source --download-only -qq "sqlite3=$version" &&
      dpkg-source -x ./*.dsc src >/dev/null)
    # the amalgamation needs only the configured tree and tclsh, not the whole library
    (cd "$work/src" && ./configure --quiet >/dev/null && make -s sqlite3.c >/dev/null)
    mkdir -p "$cache"
    cp "$work/src/sqlite3.c" "$work/src/sqlite3.h" "$cache/"
    cp "$work/src/LICENSE.md" "$cache/" 2>/dev/null || true
    echo "setup: SQLite $version amalgamation in $cache"
  fi
fi

# The Windows build compiles the dashboard's web server in: Debian's libcpp-httplib-dev is a
# shared library, but its source package holds the one-header cpp-httplib of the same version,
# kept in build/cpp-httplib/VERSION/httplib.h for the windows preset (same deb-src as above).
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
  version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)
  cache="$PWD/build/cpp-httplib/$version"
  if [ ! -f "$cache/httplib.h" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    if id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
    (cd "$work" && apt-get source --download-only -qq "cpp-httplib=$version" &&
      dpkg-source -x ./*.dsc src >/dev/null)
    mkdir -p "$cache"
    cp "$work/src/httplib.h" "$work/src/LICENSE" "$cache/"
    echo "setup: cpp-httplib $version header in $cache"
  fi
fi
