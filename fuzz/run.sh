#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz preset for SECONDS (default 30) each, one after the
# other, on a copy of its seed corpus, and prints executions per second and in total. A crash,
# leak or sanitizer report stops the script with the target's exit status; the input is left
# in build/fuzz/crashes/<target>/, to be copied into fuzz/regressions/<target>/ once fixed.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (QZ_FUZZ_JOBS_DIR: where the corpora grow)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image report_descriptor chip_replies cli_texts job_file)
fi
build=build/fuzz
work=${QZ_FUZZ_JOBS_DIR:-$build/corpora}

status=0
for target in "${targets[@]}"; do
  program=$build/fuzz/fuzz_$target
  [ -x "$program" ] || { echo "run.sh: $program missing: cmake --build --preset fuzz" >&2; exit 2; }
  mkdir -p "$work/$target" "$build/crashes/$target"
  cp -n fuzz/corpus/"$target"/* "$work/$target"/ 2>/dev/null || true
  log=$build/crashes/$target.log
  # image inputs carry a whole 32784-byte file
  max_len=4096
  [ "$target" = image ] && max_len=33000
  set +e
  "$program" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$build/crashes/$target/" \
    "$work/$target" >"$log" 2>&1
  code=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "fuzz $target: ${runs:-?} executions, ${rate:-?}/s in ${seconds}s, exit $code"
  if [ $code -ne 0 ]; then
    tail -40 "$log" >&2
    status=$code
  fi
done
exit $status
