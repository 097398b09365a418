#!/usr/bin/env bash
# Runs every libFuzzer target for a while (default 600 s each), starting
# from the seeds in fuzz/seeds/<target>/ (the checker and the checks against
# the index also from the other readers': all read backup files) and a working corpus under
# build-fuzz/corpus/. Crashes are written to build-fuzz/crashes/<target>/;
# keep each one as a regression test. Needs clang (installed if missing).
#
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

VKT_WITH_CLANG=1 scripts/install-deps.sh
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVKT_FUZZ=ON -DVKT_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" --target ini_reader_fuzz previous_backup_fuzz backup_check_fuzz \
  check_index_fuzz copy_check_fuzz log_statement_fuzz

status=0
for target in ini_reader_fuzz previous_backup_fuzz backup_check_fuzz check_index_fuzz \
    copy_check_fuzz log_statement_fuzz; do
  corpus=build-fuzz/corpus/$target
  crashes=build-fuzz/crashes/$target
  mkdir -p "$corpus" "$crashes"
  seeds=("fuzz/seeds/$target")
  [ "$target" = backup_check_fuzz ] && seeds+=(fuzz/seeds/previous_backup_fuzz)
  [ "$target" = check_index_fuzz ] && seeds=(fuzz/seeds/backup_check_fuzz fuzz/seeds/previous_backup_fuzz)
  [ "$target" = copy_check_fuzz ] && seeds+=(fuzz/seeds/backup_check_fuzz fuzz/seeds/previous_backup_fuzz)
  echo "== $target: ${seconds}s =="
  TZ=Europe/Berlin build-fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=8192 -artifact_prefix="$crashes/" "$corpus" "${seeds[@]}" 2>&1 |
    grep -E '^(#[0-9]+ +DONE|stat::|==[0-9]+==ERROR|SUMMARY|Done)' || true
  if ls "$crashes"/* >/dev/null 2>&1; then
    echo "$target: crash inputs in $crashes"
    status=1
  fi
done
exit $status
