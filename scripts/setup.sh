#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Safe to run again: apt-get skips what is already there.
# --gui-tools also installs Xvfb and ImageMagick, to look at the dialog on a headless machine.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libhidapi-dev libudev-dev
  libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
)
# The station's production log.
packages+=(libsqlite3-dev)
# the line database: its client library, and a server and openssl for the throwaway test cluster
packages+=(libpq-dev postgresql openssl)
# Kernel tests (tests/kernel): qemu boots Debian's own kernel with busybox, kmod's modules and
# udevd in an initramfs.
packages+=(qemu-system-x86 busybox-static cpio kmod udev xz-utils)
# Windows cross build and its tests under Wine (the windows preset); QZ_SKIP_WINDOWS=1 leaves
# them out.
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine xvfb xauth)
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

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
