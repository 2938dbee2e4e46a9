#!/usr/bin/env bash
# Builds mathrast and runs every test: the unit and end-to-end suites in a
# normal build and again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the bitmap fuzzer for a bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --tests

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATHRAST_BUILD_TESTS=ON -DMATHRAST_WERROR=ON
cmake --build build -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DENABLE_ASAN=ON -DENABLE_UBSAN=ON -DMATHRAST_BUILD_TESTS=ON \
  -DMATHRAST_WERROR=ON
cmake --build build-sanitize -j"$jobs"

CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DENABLE_FUZZ=ON -DENABLE_ASAN=ON -DENABLE_UBSAN=ON -DMATHRAST_BUILD_TESTS=OFF
cmake --build build-fuzz -j"$jobs" --target fuzz_bitmap
corpus=build-fuzz/corpus
mkdir -p "$corpus"
echo "Fuzzing the bitmap reader, crop and downsample for ${FUZZ_SECONDS:-60} s"
./build-fuzz/fuzz_bitmap -max_total_time="${FUZZ_SECONDS:-60}" -close_fd_mask=2 -rss_limit_mb=4096 \
  -print_final_stats=1 "$corpus" tests/fuzz-corpus 2>&1 | tail -n 12

echo "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure --no-tests=error
echo "Tests of the normal build"
ctest --test-dir build -j"$jobs" --output-on-failure --no-tests=error
