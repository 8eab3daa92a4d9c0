#!/usr/bin/env bash
# The Windows setup program's round trip under Wine, in a Wine prefix of its own (made anew each
# run): a silent install, the installed command line at work, a second install over the first
# (an upgrade), one refused while a program runs, a silent uninstall, and what is left after it.
#   tests/package/windows_installer.sh SETUP_EXE VERSION [PREFIX_DIR]
set -uo pipefail
setup=$(realpath "$1")
version=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=${3:-$here/build/windows/wineprefix-setup}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=wine64
command -v wine64 >/dev/null 2>&1 || wine=/usr/lib/wine/wine64

failures=0
passes=0
pass() { echo "PASS: $*"; passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
run() { "$wine" "$@"; }
settle() { wineserver -w; }

rm -rf "$WINEPREFIX"
DISPLAY= run wineboot --init >/dev/null 2>&1
settle
c="$WINEPREFIX/drive_c"
user_dir=$(ls -d "$c/users/"* | grep -v -i '/public$' | head -n1)
logs="$user_dir/AppData/Local/qz670x-mp"
app="$c/Program Files/qz670x-mp"
config="$c/ProgramData/qz670x-mp"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/QZ670x EEPROM Writer (MP)"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\qz670x-mp'

# A production log from earlier work: the uninstaller must leave it.
mkdir -p "$logs"
echo "units" > "$logs/production.sqlite3"

DISPLAY= run "$setup" /S; rc=$?
settle
check "silent install exits 0 (got $rc)" test "$rc" -eq 0
for f in qz670x-mp.exe qz670x-mp-cli.exe qz670x-make-image.exe uninstall.exe README.md \
         LICENSE.txt THIRD-PARTY-NOTICES.txt; do
  check "installed $f" test -f "$app/$f"
done
check "Start-menu entry for the dialog" test -f "$menu/QZ670x EEPROM Writer (MP).lnk"
check "Start-menu entry for the station window" test -f "$menu/QZ670x Station.lnk"
check "the station shortcut passes --station" grep -a -q -e '-.-.s.t.a.t.i.o.n' "$menu/QZ670x Station.lnk"
check "configuration folder made" test -d "$config"
check "Add/Remove Programs entry" bash -c "'$wine' reg query '$key' /v DisplayVersion 2>/dev/null | grep -q '$version'"
# (Its access list is not looked at: Wine keeps no Windows access lists on the Unix file system
# but answers with one made from the mode bits. A setup program whose SetNamedSecurityInfoW
# failed would have ended with exit 2 above.)

out=$(run "$app/qz670x-mp-cli.exe" --version 2>&1 | tr -d '\r')
check "installed CLI says its version ($out)" test "$out" = "qz670x-mp-cli $version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run "$app/qz670x-make-image.exe" "$work/sample.bin" >/dev/null 2>&1
out=$(run "$app/qz670x-mp-cli.exe" check "$work/sample.bin" 2>&1)
check "installed CLI checks a sample image" grep -q "firmware ID: 5067" <<<"$out"

# Upgrade: the same setup over the installed one.
DISPLAY= run "$setup" /S; rc=$?
settle
check "second install over the first exits 0 (got $rc)" test "$rc" -eq 0
check "programs still there after the second install" test -f "$app/qz670x-mp-cli.exe"

# A running program keeps its .exe open: setup and uninstaller refuse and change nothing. The
# dialog on the virtual chip stands for it (it needs a display: ctest runs under xvfb-run).
if [ -n "${DISPLAY:-}" ]; then
  run "$app/qz670x-mp.exe" --simulate >/dev/null 2>&1 &
  station=$!
  for _ in $(seq 100); do   # until Wine has the program's process up
    run "$c/windows/system32/tasklist.exe" 2>/dev/null | grep -qi 'qz670x-mp.exe' && break
    sleep 0.2
  done
  run "$setup" /S; rc=$?
  check "setup refuses while the dialog runs (exit 2, got $rc)" test "$rc" -eq 2
  # in place (_?= takes the folder unquoted: its short name), so the exit status is its own
  short=$(run winepath -s 'C:\Program Files\qz670x-mp' | tr -d '\r')
  run "$app/uninstall.exe" /S "_?=$short"; rc=$?
  check "uninstaller refuses while the dialog runs (exit 2, got $rc)" test "$rc" -eq 2
  check "programs untouched while the dialog runs" test -f "$app/qz670x-mp.exe"
  # (the dialog runs in a process of its own, not the launcher's: end every process of the prefix)
  wineserver -k
  wait "$station" 2>/dev/null
else
  echo "SKIP: no display, the refusal while a program runs is not tried"
fi

# Station configuration an administrator put there stays, like the logs.
echo '# station' > "$config/station.toml"
DISPLAY= run "$app/uninstall.exe" /S; rc=$?
settle
check "silent uninstall exits 0 (got $rc)" test "$rc" -eq 0
check "program folder gone" test ! -e "$app"
check "Start-menu entries gone" test ! -e "$menu"
check "Add/Remove Programs entry gone" bash -c "! '$wine' reg query '$key' >/dev/null 2>&1"
check "production log kept" grep -q units "$logs/production.sqlite3"
check "station configuration kept" test -f "$config/station.toml"

wineserver -k 2>/dev/null
echo "installer round trip: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
