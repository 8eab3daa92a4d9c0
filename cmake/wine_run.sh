#!/bin/sh
# Runs a Windows program of the cross build under Wine, in a prefix of its own inside the build
# folder (made on first use), without Wine's debug chatter.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/windows/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
wine=wine64
command -v wine64 >/dev/null 2>&1 || wine=/usr/lib/wine/wine64
exec "$wine" "$@"
