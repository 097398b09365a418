#!/usr/bin/env bash
# Speed and memory of `velmoraskintide --pruefen`, side by side with the
# yardsticks: `wc -l` on a plain file (which only looks for line ends) and
# `zstd -t` on the same file compressed as the program compresses it
# (frames of 2 MiB, a seek table). No server is needed.
#
#   bench/check.sh [size-in-MiB]      (default 1024)
#
# Environment: VKT_BIN (default build/velmoraskintide, built when missing),
# VKT_BENCH_KEEP=1 keeps the work directory, VKT_BENCH_RUNS (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-1024}
runs=${VKT_BENCH_RUNS:-5}
bin=${VKT_BIN:-$root/build/velmoraskintide}
if [ ! -x "$bin" ]; then
  cmake -S "$root" -B "$root/build" -DVKT_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build" -j2 --target velmoraskintide vkt_file >/dev/null
fi
work=$(mktemp -d /tmp/vkt-bench-check.XXXXXX)
cleanup() { if [ "${VKT_BENCH_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT

echo "== a plain file of $size MiB and its compressed form"
python3 "$root/bench/check_file.py" "$work/shop.sql" "$size"
g++ -O2 -std=c++17 -I"$root" "$root/bench/pack.cpp" "$(dirname "$bin")/libvkt_file.a" \
  -lzstd -pthread -o "$work/pack"
"$work/pack" "$work/shop.sql" "$work/shop.sql.zst"
ls -l "$work/shop.sql" "$work/shop.sql.zst"
"$bin" --pruefen "$work/shop.sql" "$work/shop.sql.zst"

# farm-bench when there is one (A/B pairs, medians); else bash's time.
bench() {
  local vs=$1; shift
  if command -v farm-bench >/dev/null; then
    farm-bench -n "$runs" --timeout 600 --vs "$vs" -- "$@" | grep -E "^(farm|A |B |A/B)"
  else
    echo "-- $*"; time "$@" >/dev/null
    echo "-- $vs"; time $vs >/dev/null
  fi
}
echo
echo "== plain: A = --pruefen, B = wc -l"
bench "wc -l $work/shop.sql" "$bin" --pruefen "$work/shop.sql"
echo
echo "== compressed: A = --pruefen, B = zstd -t"
bench "zstd -qt $work/shop.sql.zst" "$bin" --pruefen "$work/shop.sql.zst"
