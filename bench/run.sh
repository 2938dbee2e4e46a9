#!/usr/bin/env bash
# Builds an optimised mathrast and prints the benchmark report (Markdown):
# mathrast against the bare tool chain and against latex + dvipng, callgrind
# instruction counts, peak memory, and growth with -r and -s.
# Extra arguments go to bench.py (e.g. --reps 9, --only fraction); with
# --batch first, the batch benchmark runs instead (bench/batch_bench.py).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
need=()
for p in dvipng valgrind python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMATHRAST_BUILD_TESTS=OFF > /dev/null
cmake --build build-bench -j"$(nproc)" > /dev/null
cc -O2 -shared -fPIC -o build-bench/peak_rss.so bench/peak_rss.c
if [ "${1:-}" = "--batch" ]; then
  shift
  exec /usr/bin/python3 bench/batch_bench.py --binary build-bench/mathrast \
    --preload build-bench/peak_rss.so "$@"
fi
exec /usr/bin/python3 bench/bench.py --binary build-bench/mathrast "$@"
