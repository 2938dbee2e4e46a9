#!/usr/bin/env bash
# Builds mathrast and runs every test: the unit and end-to-end suites in a
# normal build and again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then the bitmap and job-reader fuzzers, each for half of a bounded time
# (FUZZ_SECONDS, default 60).
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
cmake --build build-fuzz -j"$jobs" --target fuzz_bitmap fuzz_job_reader
# Half the fuzzing time for each target, at least a second.
fuzz_seconds=$(( ${FUZZ_SECONDS:-60} / 2 > 0 ? ${FUZZ_SECONDS:-60} / 2 : 1 ))
corpus=build-fuzz/corpus
mkdir -p "$corpus"
echo "Fuzzing the bitmap reader, crop and downsample for $fuzz_seconds s"
./build-fuzz/fuzz_bitmap -max_total_time="$fuzz_seconds" -close_fd_mask=2 -rss_limit_mb=4096 \
  -print_final_stats=1 "$corpus" tests/fuzz-corpus 2>&1 | tail -n 12
jobs_corpus=build-fuzz/corpus-jobs
mkdir -p "$jobs_corpus"
echo "Fuzzing the batch's job reader and result writer for $fuzz_seconds s"
./build-fuzz/fuzz_job_reader -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 \
  -print_final_stats=1 "$jobs_corpus" tests/fuzz-corpus-jobs 2>&1 | tail -n 12

echo "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure --no-tests=error
echo "Tests of the normal build"
ctest --test-dir build -j"$jobs" --output-on-failure --no-tests=error
