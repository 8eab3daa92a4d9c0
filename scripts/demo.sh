#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs the main job: a sample image of our
# own is generated, checked, and written into the virtual chip, which starts running its
# firmware, so the whole road is taken: erase, re-plug into ROM mode, status and identity
# checks, header cleared, body written and read back, header committed.
set -euo pipefail
cd "$(dirname "$0")/.."

# (the Windows build's libpq and OpenSSL are not needed here: scripts/windows_line_libs.sh)
QZ_WINDOWS_LIBS_LATER=1 bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

bin=build/default
work=build/demo
mkdir -p "$work"
rm -f "$work/eeprom.bin"

echo "=== a sample image of our own"
"$bin/tools/qz670x-make-image" "$work/sample.bin"
"$bin/src/cli/qz670x-mp-cli" check "$work/sample.bin"

echo "=== a chip that runs its firmware: first a factory image, then the developer-mode write"
"$bin/src/cli/qz670x-mp-cli" write "$work/sample.bin" --factory \
  --simulate --sim-mode rom --sim-eeprom "$work/eeprom.bin"
"$bin/src/cli/qz670x-mp-cli" write "$work/sample.bin" --developer \
  --serial "QZ-DEMO-0001" --product "QZ670x Demo Board" \
  --simulate --sim-eeprom "$work/eeprom.bin"

echo "=== the chip's EEPROM, read back"
"$bin/src/cli/qz670x-mp-cli" read "$work/readback.bin" --simulate --sim-eeprom "$work/eeprom.bin"
cmp -n 16400 "$work/readback.bin" "$work/eeprom.bin" && echo "read-back matches the chip's EEPROM"
