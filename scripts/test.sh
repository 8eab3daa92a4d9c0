#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs the whole test suite: the debug
# build (warnings fatal), then the same suite under AddressSanitizer + UBSan and under
# ThreadSanitizer. Set QZ_PRESETS to run fewer, e.g. QZ_PRESETS=debug.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

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

# Windows: the cross build (static .exe files) and its suite under Wine, headless. Skipped with
# QZ_SKIP_WINDOWS=1. The Wine prefix lives in build/windows (made on first use).
if [ "${QZ_SKIP_WINDOWS:-0}" != "1" ]; then
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

# The Debian package on a clean Debian 12 root (tests/package/run.sh): the .deb with its manual
# pages, lintian (errors and warnings fail), apt install in a debootstrap root, and a station
# account in plugdev at work. Opt-in with QZ_PACKAGE_TEST=1: from nothing it takes about seven
# minutes on two cores (its own Release build, debootstrap and apt fetching from the mirror);
# with its root cached in build/package-root about two and a half.
if [ "${QZ_PACKAGE_TEST:-0}" = "1" ]; then
  echo "=== package: .deb, lintian, install on a clean Debian 12 root"
  bash tests/package/run.sh
fi

# A short fuzz pass: each libFuzzer target 30 s on its corpus (QZ_SKIP_FUZZ=1 skips it).
if [ "${QZ_SKIP_FUZZ:-0}" != "1" ]; then
  echo "=== fuzz: configure, build and run each target for 30 s"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  bash fuzz/run.sh 30
fi

# The real kernel path: the chip gadget on dummy_hcd in a qemu guest (QZ_SKIP_KERNEL=1 skips).
echo "=== kernel: qemu guest"
bash tests/kernel/run.sh
