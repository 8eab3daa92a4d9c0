#!/usr/bin/env bash
# The real kernel path: boots Debian's own kernel in qemu (TCG) with a small initramfs and runs
# guest.sh there: the chip gadget on dummy_hcd and the unchanged qz670x-mp-cli against it,
# through usbhid, hidraw, hidapi and udev. Prints the guest's PASS/FAIL lines and timings and
# exits non-zero on any failure, on a missing verdict or on the time-out.
#
#   tests/kernel/run.sh            # programs from build/debug (built here when missing)
#   QZ_KERNEL_BUILD=DIR            # take the programs from another build directory
#   QZ_KERNEL_TIMEOUT=SECONDS      # whole guest run (default 900)
#   QZ_SKIP_KERNEL=1               # skip, saying so
#
# The kernel package and the base initramfs are cached under build/kernel.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
started=$(date +%s)

if [ "${QZ_SKIP_KERNEL:-0}" = "1" ]; then
  echo "kernel tests: skipped (QZ_SKIP_KERNEL=1)"
  exit 0
fi
die() {
  echo "kernel tests: FAILED: $*" >&2
  echo "kernel tests: (set QZ_SKIP_KERNEL=1 to skip them where qemu cannot run)" >&2
  exit 1
}
for tool in qemu-system-x86_64 cpio busybox depmod apt-get dpkg gzip cc /lib/systemd/systemd-udevd; do
  command -v "$tool" >/dev/null || [ -x "$tool" ] || die "$tool is missing (run scripts/setup.sh)"
done

cache=$repo/build/kernel
build=${QZ_KERNEL_BUILD:-$repo/build/debug}
mkdir -p "$cache"

# --- the programs ------------------------------------------------------------------------
programs=(src/cli/qz670x-mp-cli tools/qz670x-chip-gadget tools/qz670x-make-image)
need_build=0
for p in "${programs[@]}"; do [ -x "$build/$p" ] || need_build=1; done
if [ $need_build = 1 ] && [ -z "${QZ_KERNEL_BUILD:-}" ]; then
  (cd "$repo" && { [ -f build/debug/build.ninja ] || cmake --preset debug >/dev/null; } &&
    cmake --build --preset debug --target qz670x-mp-cli qz670x-chip-gadget qz670x-make-image)
fi
for p in "${programs[@]}"; do [ -x "$build/$p" ] || die "$build/$p is missing"; done

# --- the kernel: Debian's, unpacked, never installed -------------------------------------
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$kpkg" ] || kpkg=$(ls "$cache" | sed -n 's/^\(linux-image-[0-9].*\)\.unpacked$/\1/p' | tail -1)
[ -n "$kpkg" ] || die "no linux-image package known to apt (apt-get update?)"
kroot=$cache/$kpkg.root
if [ ! -f "$cache/$kpkg.unpacked" ]; then
  echo "kernel tests: fetching $kpkg"
  rm -rf "$kroot" "$cache"/dl && mkdir -p "$cache/dl"
  (cd "$cache/dl" && apt-get download "$kpkg" >/dev/null 2>&1) || die "apt-get download $kpkg failed"
  dpkg -x "$cache"/dl/*.deb "$kroot"
  rm -rf "$cache/dl"
  kver=$(ls "$kroot/lib/modules")
  depmod -b "$kroot" "$kver"
  touch "$cache/$kpkg.unpacked"
fi
kver=$(ls "$kroot/lib/modules")
vmlinuz=$kroot/boot/vmlinuz-$kver
[ -f "$vmlinuz" ] || die "no kernel image in $kroot"

# --- base initramfs: busybox, modules, udevd (cached) ------------------------------------
copy_libs() {  # copy_libs ROOT FILE...: the libraries each file loads, at their own paths
  local root=$1 f lib
  shift
  for f in "$@"; do
    for lib in $(ldd "$f" 2>/dev/null | grep -o '/[^ ]*'); do
      [ -e "$root$lib" ] || { mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib"; }
    done
  done
}
modules=(configfs usb-common usbcore udc-core dummy_hcd libcomposite usb_f_hid hid usbhid hid-generic)
base=$cache/base-$kver.cpio.gz
base_key=$(cat "$0" | sha1sum | cut -c1-12)
if [ ! -f "$base" ] || [ "$(cat "$base.key" 2>/dev/null)" != "$base_key" ]; then
  echo "kernel tests: building the base initramfs"
  r=$cache/base-root && rm -rf "$r" && mkdir -p "$r"/{bin,sbin,usr/bin,usr/sbin,etc/udev/rules.d,lib/udev/rules.d,lib/systemd,proc,sys,dev,run,tmp,root,qzk}
  cp "$(command -v busybox)" "$r/bin/busybox" && ln -s busybox "$r/bin/sh"
  # modules in load order, dependencies first
  declare -A seen=()
  order=()
  add_module() {
    local rel dep
    rel=$(grep -E "/$1\.ko(\.xz|\.zst)?:" "$kroot/lib/modules/$kver/modules.dep" | cut -d: -f1 | head -1)
    [ -n "$rel" ] || die "module $1 not in $kpkg"
    [ -n "${seen[$rel]:-}" ] && return 0
    for dep in $(grep "^$rel:" "$kroot/lib/modules/$kver/modules.dep" | cut -d: -f2); do
      add_module "$(basename "$dep" | sed 's/\.ko.*$//')"
    done
    seen[$rel]=1
    order+=("$rel")
  }
  for m in "${modules[@]}"; do add_module "$m"; done
  mkdir -p "$r/lib/modules"
  : >"$r/qzk/modules"
  for rel in "${order[@]}"; do
    name=$(basename "$rel")
    case $name in
      *.xz) xz -dc "$kroot/lib/modules/$kver/$rel" >"$r/lib/modules/${name%.xz}" ;;
      *.zst) zstd -qdc "$kroot/lib/modules/$kver/$rel" >"$r/lib/modules/${name%.zst}" ;;
      *) cp "$kroot/lib/modules/$kver/$rel" "$r/lib/modules/$name" ;;
    esac
    echo "${name%.ko*}.ko" >>"$r/qzk/modules"
  done
  cp /bin/udevadm "$r/bin/udevadm" && copy_libs "$r" /bin/udevadm
  ln -sf /bin/udevadm "$r/lib/systemd/systemd-udevd"
  for rules in 50-udev-default 70-uaccess 71-seat 73-seat-late; do
    [ -f "/lib/udev/rules.d/$rules.rules" ] && cp "/lib/udev/rules.d/$rules.rules" "$r/lib/udev/rules.d/"
  done
  printf 'root:x:0:0:root:/root:/bin/sh\nqzop:x:1000:1000:station:/tmp:/bin/sh\n' >"$r/etc/passwd"
  printf 'root:x:0:\nplugdev:x:46:qzop\nqzop:x:1000:\n' >"$r/etc/group"
  (cd "$r" && find . | cpio -o -H newc --quiet | gzip -1) >"$base.tmp"
  mv "$base.tmp" "$base" && echo "$base_key" >"$base.key"
  rm -rf "$r"
fi

# --- this run's part: the project's programs, rule and cases -----------------------------
r=$cache/run-root && rm -rf "$r" && mkdir -p "$r/qzk" "$r/usr/bin"
for p in "${programs[@]}"; do
  strip --strip-debug -o "$r/usr/bin/$(basename "$p")" "$build/$p"
  copy_libs "$r" "$build/$p"
done
cc -shared -fPIC -O2 -o "$r/qzk/fd_probe.so" "$here/fd_probe.c" -ldl || die "cannot build fd_probe.so"
copy_libs "$r" "$r/qzk/fd_probe.so"
cp "$repo/packaging/70-qz670x.rules" "$here/cases.conf" "$r/qzk/"
cp "$here/guest.sh" "$r/init" && chmod +x "$r/init"
initrd=$cache/initrd.img
{ cat "$base"; (cd "$r" && find . | cpio -o -H newc --quiet | gzip -1); } >"$initrd"

# --- what the guest's EEPROMs must hold: the same writes into the in-process virtual chip --
cli=$build/src/cli/qz670x-mp-cli
exp=$cache/expected && rm -rf "$exp" && mkdir -p "$exp"
"$build/tools/qz670x-make-image" "$exp/image.bin" >/dev/null
source "$here/cases.conf"
(
  "$cli" write "$exp/image.bin" --factory --simulate --sim-mode rom --sim-eeprom "$exp/factory.bin" \
    >/dev/null 2>&1 && cp "$exp/factory.bin" "$exp/developer.bin" &&
    "$cli" write "$exp/image.bin" --developer $QZK_OVERRIDES --simulate \
      --sim-eeprom "$exp/developer.bin" >/dev/null 2>&1 &&
    "$cli" write "$exp/image.bin" --developer $QZK_OVERRIDES --simulate --sim-mode rom \
      --sim-eeprom "$exp/station.bin" >/dev/null 2>&1
  echo $? >"$exp/done"
) &
expected_pid=$!

# --- boot --------------------------------------------------------------------------------
log=$cache/serial.log
echo "kernel tests: booting $kpkg under qemu (TCG)"
timeout_s=${QZ_KERNEL_TIMEOUT:-900}
qemu_started=$(date +%s)
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -m 768 -smp 2 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$initrd" -append "console=ttyS0 panic=-1 quiet loglevel=3" \
  </dev/null >"$log" 2>&1
qemu_rc=$?
set -e
qemu_s=$(( $(date +%s) - qemu_started ))
wait "$expected_pid" || true

# the verdicts, and the output the guest shows under a failed case ("    | ...")
tr -d '\r' <"$log" | grep -e '^QZK ' -e '^    | ' | grep -v '^QZK REC ' | sed 's/^QZK //' || true

# --- verdict -----------------------------------------------------------------------------
failures=0
grep -q $'^QZK END' <(tr -d '\r' <"$log") || {
  echo "kernel tests: the guest did not finish (qemu status $qemu_rc after ${qemu_s}s); last lines:"
  tail -30 "$log"
  failures=$((failures + 1))
}
if grep -q '^QZK FAIL' <(tr -d '\r' <"$log"); then failures=$((failures + 1)); fi
# the EEPROM files the guest reported, against the in-process chip's
[ "$(cat "$exp/done" 2>/dev/null)" = 0 ] || { echo "FAIL expected EEPROMs could not be made"; failures=$((failures + 1)); }
while read -r _ _ name sum label; do
  want=$(sha256sum <"$exp/$name.bin" | cut -d' ' -f1)
  if [ "$sum" = "$want" ]; then
    echo "PASS eeprom-$label: the gadget's EEPROM equals the virtual chip's after the same $name write"
  else
    echo "FAIL eeprom-$label: the gadget's EEPROM differs from the virtual chip's ($sum / $want)"
    failures=$((failures + 1))
  fi
done < <(tr -d '\r' <"$log" | grep '^QZK SUM ')
# the factory write's session recording, out of the guest: it must replay to OK here (copy it
# to tests/recordings/ to keep it in the suite)
recorded=$cache/factory-udev.jsonl
if tr -d '\r' <"$log" | sed -n 's/^QZK REC //p' | base64 -d 2>/dev/null | gunzip >"$recorded" 2>/dev/null &&
  "$cli" write "$exp/image.bin" --factory --sim-replay "$recorded" --sim-virtual-time >/dev/null 2>&1; then
  echo "PASS replay: the guest's factory-write recording replays to OK on the host ($recorded)"
else
  echo "FAIL replay: the guest's factory-write recording ($recorded) does not replay to OK"
  failures=$((failures + 1))
fi
echo "kernel tests: guest ${qemu_s}s, whole run $(( $(date +%s) - started ))s"
if [ $failures -ne 0 ]; then
  echo "kernel tests: FAILED (serial log: $log)"
  exit 1
fi
echo "kernel tests: all passed"
