#!/bin/sh
# Rebuilds the seed corpora in fuzz/corpus/ from our own generated images and a recorded trace
# of a write job on the virtual chip. Usage: fuzz/make_corpus.sh BUILD_DIR (a build of the
# debug or default preset with qz670x-make-image and qz670x-mp-cli).
set -eu
build=${1:?usage: fuzz/make_corpus.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$corpus/image" "$corpus/report_descriptor" "$corpus/chip_replies" "$corpus/cli_texts"

# image: two whole files (mode 0: the rest of the input is the file, no overrides) ...
for variant in valid str-at-end; do
  "$build/tools/qz670x-make-image" --variant "$variant" "$work/$variant.bin"
  { printf '\000\000\000'; head -c 11 /dev/zero; cat "$work/$variant.bin"; } \
    > "$corpus/image/file-$variant"
done
# ... and small ones that patch a generated image (mode bit 0) with every override checked
python3 - "$corpus/image" <<'PY'
import sys, os
out = sys.argv[1]
texts = [b"1D6C", b"6841", b"0100", b"1D6C", b"6842", b"0200",
         b"QZ Audio", b"Station 7", "Ünïcode ♪".encode(), b"FS", b"SN0001"]
body = b"".join(bytes([len(t)]) + t for t in texts)
for name, mode, mask, patches in [
    ("patched-valid", 0x03, 0x07FF, b""),
    ("patched-evb", 0x07, 0x07C0, b""),
    ("patched-no-str", 0x53, 0x07C0, b""),
    ("patched-str-tag", 0x03, 0x0040, bytes([0x3C, 0x48, 0xFF, 0x3C, 0x49, 0x7F])),
    ("patched-unchecked-trailer", 0x01, 0x0000, bytes([0x00, 0x30, 0x55])),
]:
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([mode, mask >> 8, mask & 0xFF]) + body + patches)
PY

# report descriptor: a vendor page with 64-byte input and output reports, without and with
# report IDs, and a truncated one
printf '\006\000\377\011\001\241\001\025\000\046\377\000\165\010\225\100\011\001\201\002\225\100\011\001\221\002\300' \
  > "$corpus/report_descriptor/vendor-64"
printf '\006\000\377\011\001\241\001\205\001\025\000\046\377\000\165\010\225\077\011\001\201\002\205\002\225\077\011\001\221\002\300' \
  > "$corpus/report_descriptor/vendor-numbered"
printf '\006\000\377\011\001\241\001\025\000\046\377' > "$corpus/report_descriptor/truncated"

# chip replies: one action byte per report the host writes. A recorded trace of a job on the
# virtual chip tells how many reports come before the first EEPROM transfer (the preparation,
# status and identity sequences); the seeds pass those and upset the transfers after them.
"$build/tools/qz670x-make-image" "$work/image.bin"
"$build/src/cli/qz670x-mp-cli" write "$work/image.bin" --simulate --trace "$work/trace.txt" \
  > /dev/null 2>&1
prelude=$(awk '/^OUT/ { if ($4 == "11" || $4 == "12") { print n; exit } n++ }' "$work/trace.txt")
python3 - "$corpus/chip_replies" "$prelude" <<'PY'
import sys, os
out, prelude = sys.argv[1], int(sys.argv[2])
# setup byte: bits 2..4 pick the job length (3: 0x110 bytes); bit 0 firmware mode, bit 1 faults
p = bytes(prelude)
seeds = {
    "pass-short": bytes([3 << 2, 0, 0]) + p,
    "pass-firmware": bytes([3 << 2 | 1, 0, 0]) + p + bytes(4),
    "stale-in-status": bytes([3 << 2, 0, 0]) + bytes([2] * 12),
    "cut-reads": bytes([3 << 2, 0, 0]) + p + bytes([0, 3, 12] * 10),
    "noise-duplicate": bytes([2 << 2, 0, 0]) + p + bytes([4, 9, 5, 0, 5]),
    "withheld": bytes([1 << 2, 0, 0]) + p + bytes([6]),
    "dropped": bytes([0, 0, 0]) + p + bytes([0, 1]),
    "random-faults": bytes([3 << 2 | 2, 0x12, 0x34]) + p,
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
PY

# command-line texts: byte 0 picks the kind (0 fault, 1 hex, 2 hex round trip, 3 cut, 4 path)
printf '\000\000no-reply@5' > "$corpus/cli_texts/fault"
printf '\000\000random=0x2A' > "$corpus/cli_texts/fault-random"
printf '\000\000unplug@4105' > "$corpus/cli_texts/fault-unplug"
printf '\001\000  -0x1F' > "$corpus/cli_texts/hex"
printf '\002\004FFFFFFFFF' > "$corpus/cli_texts/hex-round-trip"
printf '\003\040QZ670x USB Audio \360\237\216\265' > "$corpus/cli_texts/cut"
printf '\004\000/dev/hidraw12' > "$corpus/cli_texts/path"
echo "corpora written to $corpus"
