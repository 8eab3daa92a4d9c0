#!/usr/bin/env bash
# A Linux station and a Windows station (the cross build, under Wine) against the same line
# database: one throwaway PostgreSQL server on this machine (tests/support/pg_cluster.sh), both
# through TLS with the server's certificate checked against the cluster's CA (verify-full), each
# through a journal of its own, one after the other with the same parameters. Prints each
# bench's figures, then both side by side.
#   bench/windows_line_bench.sh [UNITS [BACKLOG]]
# UNITS (default 1000): units back to back at each station. BACKLOG (default 1000): units each
# station writes while the server is stopped, pushed when it is back; 0 skips that part.
# The programs: build/default/bench/journal_station_bench (cmake --build --preset default
# --target journal_station_bench) and build/windows/bench/journal_station_bench.exe (the
# windows preset), or QZ_LINUX_BENCH and QZ_WINDOWS_BENCH.
set -euo pipefail
cd "$(dirname "$0")/.."
units=${1:-1000}
backlog=${2:-1000}
linux_bench=${QZ_LINUX_BENCH:-build/default/bench/journal_station_bench}
windows_bench=${QZ_WINDOWS_BENCH:-build/windows/bench/journal_station_bench.exe}
for program in "$linux_bench" "$windows_bench"; do
  if [ ! -f "$program" ]; then
    echo "windows_line_bench.sh: no $program (build it first)" >&2
    exit 1
  fi
done

# Wine's prefix, made once without a display or the Mono and Gecko installers
export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wineprefix}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= cmake/wine_run.sh wineboot --init
  wineserver -w
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qz_line_bench.XXXXXX")
chmod 755 "$work"  # the cluster inside belongs to the server's account when run as root
cluster=$work/pg
trap 'bash tests/support/pg_cluster.sh stop "$cluster" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
bash tests/support/pg_cluster.sh start "$cluster"
port=$(cat "$cluster/port")
mkdir -p "$work/journals"
# Wine sees the Unix root as drive Z:
url="postgresql://postgres@localhost:$port/postgres?sslmode=verify-full&sslrootcert="
linux_url="$url$cluster/tls/ca.crt"
windows_url="${url}Z:$cluster/tls/ca.crt"
# each station its own journal: linux-NAME and windows-NAME
linux() { "$linux_bench" "$linux_url" bench-linux "$work/journals/linux-$1" "${@:2}"; }
windows() {
  cmake/wine_run.sh "$windows_bench" "$windows_url" bench-windows "Z:$work/journals/windows-$1" "${@:2}" |
    tr -d '\r'
}

echo "load before: $(uptime)"
linux_out=$(linux station.sqlite3 "$units")
echo "--- Linux"
echo "$linux_out"
windows_out=$(windows station.sqlite3 "$units")
echo "--- Windows (Wine)"
echo "$windows_out"
linux_drain=""
windows_drain=""
if [ "$backlog" -gt 0 ]; then
  bash tests/support/pg_cluster.sh halt "$cluster"
  linux backlog.sqlite3 backlog "$backlog"
  windows backlog.sqlite3 backlog "$backlog"
  bash tests/support/pg_cluster.sh resume "$cluster"
  linux_drain=$(linux backlog.sqlite3 drain)
  windows_drain=$(windows backlog.sqlite3 drain)
  echo "--- backlog"
  echo "Linux: $linux_drain"
  echo "Windows (Wine): $windows_drain"
fi
echo "load after: $(uptime)"

# the figure after `word` in a bench's output
figure() { grep -o "$2 [0-9.]*" <<<"$1" | head -n 1 | awk '{print $NF}'; }
rows() { grep -o '[0-9]* unit rows/s' <<<"$1" | awk '{print $1}'; }
echo
printf '%-34s %12s %16s\n' "$units units, TLS verify-full" "Linux" "Windows (Wine)"
for q in p50 p95 max; do
  printf '%-34s %12s %16s\n' "unit start (BeginUnit) $q, ms" "$(figure "$linux_out" "$q")" \
    "$(figure "$windows_out" "$q")"
done
printf '%-34s %12s %16s\n' "pushed from the journal, rows/s" "$(rows "$linux_out")" \
  "$(rows "$windows_out")"
if [ "$backlog" -gt 0 ]; then
  printf '%-34s %12s %16s\n' "backlog of $backlog drained, s" "$(figure "$linux_drain" "outage in")" \
    "$(figure "$windows_drain" "outage in")"
  printf '%-34s %12s %16s\n' "backlog pushed, rows/s" "$(rows "$linux_drain")" \
    "$(rows "$windows_drain")"
fi
