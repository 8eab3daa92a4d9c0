#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs the whole test suite: the debug
# build (warnings fatal), then the same suite under AddressSanitizer + UBSan and under
# ThreadSanitizer, the fuzz pass, the kernel tests, and last the Windows build under Wine. Set
# QZ_PRESETS to run fewer, e.g. QZ_PRESETS=debug.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Windows build's libpq and OpenSSL (scripts/windows_line_libs.sh): from the cache outside
# the checkout in a second, else built from Debian's sources at the lowest priority while the
# Linux suites run, and waited for before the Windows build.
windows=0
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then windows=1; fi
QZ_WINDOWS_LIBS_LATER=$windows bash scripts/setup.sh
if [ "$windows" = 1 ]; then
  mkdir -p build
  nice -n 19 bash scripts/windows_line_libs.sh >build/windows-line-libs.log 2>&1 &
  libs=$!
  trap 'kill $libs 2>/dev/null || true' EXIT
fi

export QT_QPA_PLATFORM=offscreen
presets=${QZ_PRESETS:-"debug asan tsan"}
jobs=$(nproc)

for preset in $presets; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done

# The Debian package on a clean Debian 12 root (tests/package/run.sh): the .deb with its manual
# pages, lintian (errors and warnings fail), apt install in a debootstrap root, and a station
# account in plugdev at work. Opt-in with QZ_PACKAGE_TEST=1: from nothing it takes about seven
# minutes on two cores (its own Release build, debootstrap and apt fetching from the mirror);
# with its root cached in build/package-root about two and a half.
if [ "${QZ_PACKAGE_TEST:-0}" = "1" ]; then
  echo "=== package: .deb, lintian, install on a clean Debian 12 root"
  bash tests/package/run.sh
fi

# A short fuzz pass: each libFuzzer target 20 s on its corpus (QZ_SKIP_FUZZ=1 skips it).
if [ "${QZ_SKIP_FUZZ:-0}" != "1" ]; then
  echo "=== fuzz: configure, build and run each target for 20 s"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  bash fuzz/run.sh 20
fi

# The real kernel path: the chip gadget on dummy_hcd in a qemu guest (QZ_SKIP_KERNEL=1 skips).
echo "=== kernel: qemu guest"
bash tests/kernel/run.sh

# Windows, last (its libraries were built meanwhile): the cross build (static .exe files) and
# its suite under Wine, headless. Skipped with QZ_SKIP_WINDOWS=1. The Wine prefix lives in
# build/windows (made on first use).
if [ "$windows" = 1 ]; then
  echo "=== windows: libpq and OpenSSL"
  wait $libs || { cat build/windows-line-libs.log; exit 1; }
  cat build/windows-line-libs.log
  echo "=== windows: configure and build"
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
  echo "=== windows: test (Wine)"
  # Make the prefix once, before the tests start several Wine processes at the same time, and
  # without a display or the Mono and Gecko installers, so nothing can wait for a click.
  WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= cmake/wine_run.sh wineboot --init
  WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -w
  # (the suite includes the setup program's round trip, InstallerRoundTrip, in a prefix of its own)
  xvfb-run -a ctest --preset windows -j "$jobs"
fi
