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

# A short fuzz pass: each libFuzzer target 30 s on its corpus (QZ_SKIP_FUZZ=1 skips it).
if [ "${QZ_SKIP_FUZZ:-0}" != "1" ]; then
  echo "=== fuzz: configure, build and run each target for 30 s"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  bash fuzz/run.sh 30
fi
