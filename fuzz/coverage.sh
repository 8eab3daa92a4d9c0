#!/usr/bin/env bash
# Line coverage of src/image and src/hid by the fuzz corpora: builds the targets with clang's
# source-based coverage in build/fuzz-coverage, runs each over its corpus once, and prints
# llvm-cov's report. Usage: fuzz/coverage.sh [CORPUS_ROOT] (default: build/fuzz/corpora when
# it exists, else fuzz/corpus).
set -euo pipefail
cd "$(dirname "$0")/.."

root=${1:-}
if [ -z "$root" ]; then
  root=fuzz/corpus
  [ -d build/fuzz/corpora ] && root=build/fuzz/corpora
fi
build=build/fuzz-coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g" \
  -DQZ_BUILD_FUZZERS=ON -DQZ_BUILD_GUI=OFF -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCHMARKS=OFF >/dev/null
targets=(image report_descriptor chip_replies cli_texts)
cmake --build "$build" --target "${targets[@]/#/fuzz_}" -j "${QZ_JOBS:-1}" >/dev/null

rm -rf "$build/profiles" && mkdir -p "$build/profiles"
objects=()
for target in "${targets[@]}"; do
  program=$build/fuzz/fuzz_$target
  LLVM_PROFILE_FILE="$build/profiles/$target.profraw" \
    "$program" -runs=0 "$root/$target" >/dev/null 2>&1
  objects+=(-object "$program")
done
llvm-profdata-14 merge -sparse "$build"/profiles/*.profraw -o "$build/fuzz.profdata"
llvm-cov-14 report "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" \
  "$PWD/src/image" "$PWD/src/hid"
