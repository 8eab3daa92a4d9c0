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
# Every unit's result to the factory's system over HTTP(S).
packages+=(libcurl4-openssl-dev)
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

# The Windows build compiles two libraries in from Debian's own source packages, the very
# versions the Linux build links, fetched from the Debian mirror already configured with
# apt-get source and kept in build/NAME/VERSION, where the windows preset finds them.

source scripts/debian_source.sh

if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT

  # SQLite, turned into its one-file amalgamation (sqlite3.c, made by tclsh)
  version=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
  cache="$PWD/build/sqlite3/$version"
  if [ ! -f "$cache/sqlite3.c" ]; then
    mkdir -p "$work/sqlite3"
    unpack_debian_source sqlite3 "$version" "$work/sqlite3"
    # the amalgamation needs only the configured tree and tclsh, not the whole library
    (cd "$work/sqlite3/src" && ./configure --quiet >/dev/null && make -s sqlite3.c >/dev/null)
    mkdir -p "$cache"
    cp "$work/sqlite3/src/sqlite3.c" "$work/sqlite3/src/sqlite3.h" "$cache/"
    cp "$work/sqlite3/src/LICENSE.md" "$cache/" 2>/dev/null || true
    echo "setup: SQLite $version amalgamation in $cache"
  fi

  # the dashboard's web server: Debian's libcpp-httplib-dev is a shared library, but its
  # source package holds the one-header cpp-httplib of the same version
  version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)
  cache="$PWD/build/cpp-httplib/$version"
  if [ ! -f "$cache/httplib.h" ]; then
    mkdir -p "$work/cpp-httplib"
    unpack_debian_source cpp-httplib "$version" "$work/cpp-httplib"
    mkdir -p "$cache"
    cp "$work/cpp-httplib/src/httplib.h" "$work/cpp-httplib/src/LICENSE" "$cache/"
    echo "setup: cpp-httplib $version header in $cache"
  fi

  # libpq and OpenSSL for the Windows build, from Debian's source packages, cached outside the
  # checkout (scripts/windows_line_libs.sh). QZ_WINDOWS_LIBS_LATER=1 leaves them for later:
  # scripts/test.sh builds them in the background while its Linux suites run, and
  # scripts/demo.sh needs none.
  if [ "${QZ_WINDOWS_LIBS_LATER:-0}" != "1" ]; then
    bash scripts/windows_line_libs.sh
  fi
fi
