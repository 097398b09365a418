#!/usr/bin/env bash
# Benchmark of full and incremental backups (not part of the tests or CI).
#
#   bash bench/run.sh [rows] [rounds]        defaults: 1500000 rows, 3 rounds
#
# Starts a private server, generates a database of `rows` rows in three
# large tables of mixed types plus one small table, then measures, several
# rounds in turn:
#   full:        the tool (backup-from-file=0), plain and with
#                kompression=zstd, mariadb-dump
#                --skip-extended-insert (one row per INSERT, like the tool),
#                and a bare fetch loop over the same tables (the floor);
#   incremental: with only the small table changed, the tool's incremental
#                run (from a plain file to a plain one, and from a compressed
#                one to a compressed one), its full run, mariadb-dump, and cp of the previous
#                backup file (the floor for copied rows), also followed by
#                a sync of the copy (the floor for a file that must be on
#                disk before it counts);
#   restore:     each file restored into a fresh database with the stock
#                client: the tool's default file, the same file as the tool
#                wrote it before its rows were committed in bulk (preamble
#                without autocommit=0, no COMMIT lines), the tool's file with
#                zeilen-je-insert=1000, that file with UNIQUE_CHECKS=0 added
#                to its preamble (MariaDB's bulk path for empty tables), and
#                mariadb-dump's default dump (extended inserts).
# Prints median wall times, ratios, peak memory and output sizes, then where
# the tool's time goes (syscall counts, a profile) when perf is usable.
#
# Environment:
#   VKT_BIN=path        the binary to measure (default build/velmoraskintide,
#                       built with cmake when missing)
#   VKT_BENCH_PROFILE=0 skip the syscall counts and the profile
#   VKT_BIN_BEFORE=path another build of the tool (say, of the main branch),
#                       timed beside VKT_BIN in every full-backup round and
#                       every compressed incremental round
#   VKT_BENCH_RESTORE=0 skip the restores
#   VKT_BENCH_RESTORE_ROUNDS=n  rounds of restores (default: rounds)
#   VKT_BENCH_RESTORES="a b" restore only these of: before default multi
#                       multi_uc0 peer
#   VKT_BENCH_RESTORE_ALL=1 also restore mariadb-dump --skip-extended-insert
#                       and the default file with UNIQUE_CHECKS=0 (slow)
#   VKT_BENCH_KEEP=1    keep the temporary directory
set -euo pipefail

rows=${1:-1500000}
rounds=${2:-3}
case "$rows$rounds" in *[!0-9]*) echo "usage: $0 [rows] [rounds]" >&2; exit 2 ;; esac
if [ "$rows" -lt 1000 ] || [ "$rounds" -lt 1 ]; then echo "need rows >= 1000, rounds >= 1" >&2; exit 2; fi

root=$(cd "$(dirname "$0")/.." && pwd)
bench=$root/bench
# shellcheck source=bench/lib.sh
. "$bench/lib.sh"
bench_prepare

# shellcheck disable=SC2046
gcc -O2 -o "$work/fetch_floor" "$bench/fetch_floor.c" $(pkg-config --cflags --libs libmariadb)
gcc -O2 -o "$work/line_writes" "$bench/line_writes.c"

# --- server and data ---------------------------------------------------------

bench_server
sql -e "SELECT COUNT(*) FROM seq_1_to_3" >/dev/null 2>&1 ||
  sql -e "INSTALL SONAME 'ha_sequence'"

kunden=$(( rows * 35 / 100 ))
bestellungen=$(( rows * 40 / 100 ))
ereignisse=$(( rows - kunden - bestellungen ))
echo "Generating $rows rows (kunden $kunden, bestellungen $bestellungen, ereignisse $ereignisse) + einstellungen 20"
gen_start=$(date +%s.%N)
sed -e "s/@KUNDEN@/$kunden/g" -e "s/@BESTELLUNGEN@/$bestellungen/g" \
    -e "s/@EREIGNISSE@/$ereignisse/g" "$bench/generate.sql" | sql
awk -v a="$gen_start" -v b="$(date +%s.%N)" 'BEGIN { printf "generated in %.1f s\n", b - a }'
mapfile -t tables < <(sql -e "SHOW TABLES")
sleep 1.1   # update times have whole seconds

# --- measuring -----------------------------------------------------------------

dump=(mariadb-dump --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD"
      --skip-extended-insert "$VKT_DB_NAME")
floor=("$work/fetch_floor" "$VKT_DB_SOCKET" "$VKT_DB_USER" "$VKT_DB_PASSWORD" "$VKT_DB_NAME" "${tables[@]}")
touch_small() {
  sql -e "UPDATE einstellungen SET wert = 'Runde $1', geaendert = NOW() WHERE schluessel = 'schluessel_1'"
  sleep 1.1
}
load_before=$(load_average)
# Warm the buffer pool once so that the first measured run is not special.
"${floor[@]}" >/dev/null

write_ini "$work/full" "$work/full/out" 0 ""
echo
echo "Full backups: $rounds rounds"
base=""
for r in $(seq 1 "$rounds"); do
  # A run waits for the second after the previous file's stamp; start each
  # full run without one so that short runs are not rounded up to a second.
  write_ini "$work/full" "$work/full/out" 0 ""
  f=$(run_tool tool_full "$work/full")
  record_size tool_full "$(size_of "$f")"
  if [ "$r" -eq "$rounds" ]; then base=$f; else rm -f "$f"; fi
  write_ini "$work/fullz" "$work/fullz/out" 0 "" zstd
  f=$(run_tool tool_full_z "$work/fullz")
  record_size tool_full_z "$(size_of "$f")"
  if [ "$r" -eq "$rounds" ]; then basez=$f; else rm -f "$f"; fi
  if [ -n "${VKT_BIN_BEFORE:-}" ]; then
    # A directory of its own: the incremental runs compare with the last
    # file written in $work/full.
    write_ini "$work/before" "$work/before/out" 0 ""
    f=$(bin=$VKT_BIN_BEFORE run_tool tool_before "$work/before")
    rm -f "$f"
  fi
  measure dump "$work/dump.sql" "${dump[@]}"
  record_size dump "$(size_of "$work/dump.sql")"
  rm -f "$work/dump.sql"
  measure floor "$work/floor.txt" "${floor[@]}"
  echo "  round $r done"
done
floor_rows=$(cut -d' ' -f1 "$work/floor.txt")

# The incremental runs compare against the last full backup.
base_stamp=$(ini_stamp "$work/full")
write_ini "$work/inc" "$work/inc/out" 1 "$base_stamp"
mv "$base" "$work/inc/out/"
base=$work/inc/out/$(basename "$base")
cp "$work/inc/vkt.ini" "$work/inc/vkt.ini.base"
write_ini "$work/incz" "$work/incz/out" 1 "$(ini_stamp "$work/fullz")" zstd
mv "$basez" "$work/incz/out/"
cp "$work/incz/vkt.ini" "$work/incz/vkt.ini.base"

echo "Incremental backups (only einstellungen changed): $rounds rounds"
copied_tables=""
same_content=""
for r in $(seq 1 "$rounds"); do
  touch_small "$r"
  cp "$work/inc/vkt.ini.base" "$work/inc/vkt.ini"
  inc=$(run_tool tool_inc "$work/inc")
  record_size tool_inc "$(size_of "$inc")"
  copied_tables=$(grep -c 'Kopiere die Daten aus dem alten Backup' "$work/inc/log.txt" || true)
  cp "$work/incz/vkt.ini.base" "$work/incz/vkt.ini"
  incz=$(run_tool tool_inc_z "$work/incz")
  record_size tool_inc_z "$(size_of "$incz")"
  copied_z=$(grep -c 'Kopiere die Daten aus dem alten Backup' "$work/incz/log.txt" || true)
  cp "$work/incz/vkt.ini.base" "$work/incz/vkt.ini"
  if [ -n "${VKT_BIN_BEFORE:-}" ]; then
    # The other build from the same compressed file, right after this one.
    # The file just written is moved aside meanwhile: a name taken in this
    # second would make the other build wait for the next one.
    mv "$incz" "$incz.aside"
    f=$(bin=$VKT_BIN_BEFORE run_tool tool_inc_z_before "$work/incz")
    rm -f "$f"
    mv "$incz.aside" "$incz"
    cp "$work/incz/vkt.ini.base" "$work/incz/vkt.ini"
  fi
  if [ "$r" -eq 1 ]; then
    # Decompressed, the compressed incremental file holds what the plain one does.
    if [ "$(zstd -dc "$incz" | grep -av '^#' | md5sum)" = "$(grep -av '^#' "$inc" | md5sum)" ]; then
      same_z=yes
    else
      same_z=NO
    fi
  fi
  rm -f "$incz"
  cp "$work/inc/vkt.ini.base" "$work/inc/vkt.ini"
  write_ini "$work/full" "$work/full/out" 0 ""
  full=$(run_tool tool_full2 "$work/full")
  record_size tool_full2 "$(size_of "$full")"
  if [ "$r" -eq 1 ]; then
    # Same database state: the files may differ only in their comment lines.
    if [ "$(grep -av '^#' "$inc" | md5sum)" = "$(grep -av '^#' "$full" | md5sum)" ]; then
      same_content=yes
    else
      same_content=NO
    fi
  fi
  rm -f "$inc" "$full"
  measure dump2 "$work/dump.sql" "${dump[@]}"
  rm -f "$work/dump.sql"
  measure cp /dev/null cp "$base" "$work/copy.sql"
  rm -f "$work/copy.sql"
  # The tool syncs its file before it counts as the last backup; so does
  # this floor.
  measure cp_sync /dev/null sh -c 'cp "$1" "$2" && sync "$2"' sh "$base" "$work/copy.sql"
  rm -f "$work/copy.sql"
  echo "  round $r done"
done

# --- restores ------------------------------------------------------------------

if [ "${VKT_BENCH_RESTORE:-1}" = 1 ]; then
  restore_rounds=${VKT_BENCH_RESTORE_ROUNDS:-$rounds}
  echo "Restores into a fresh database: $restore_rounds rounds"
  # The tool's files of this run: default and zeilen-je-insert=1000.
  write_ini "$work/rst" "$work/rst/out" 0 ""
  restore_default=$(run_tool tool_full_rst "$work/rst")
  mv "$restore_default" "$work/restore_default.sql"
  write_ini "$work/rst" "$work/rst/out" 0 ""
  printf 'zeilen-je-insert=1000\r\n' >>"$work/rst/vkt.ini"
  restore_multi=$(run_tool tool_multi "$work/rst")
  record_size tool_multi "$(size_of "$restore_multi")"
  mv "$restore_multi" "$work/restore_multi.sql"
  # The default file as it was written before rows were loaded in bulk:
  # the same row lines, the preamble without the bulk-load statements, no
  # COMMIT lines (each followed by an empty line) and no closing lines.
  awk '/^\/\*!40101 SET NAMES / { sub(/ \/\*!40014 SET autocommit=0 \*\/;/, "") }
       skip { skip = 0; next }
       /^COMMIT;\r$/ { skip = 1; next }
       { print }' "$work/restore_default.sql" >"$work/restore_before.sql"
  unique_off='s|^\(/\*!40101 SET NAMES .*\)\r$|\1 /*!40014 SET UNIQUE_CHECKS=0 */;\r|'
  sed "$unique_off" "$work/restore_multi.sql" >"$work/restore_multi_uc0.sql"
  "${dump[@]/--skip-extended-insert/--extended-insert}" >"$work/restore_peer.sql"
  restores=(before default multi multi_uc0 peer)
  # VKT_BENCH_RESTORES="multi peer" restores only those files.
  if [ -n "${VKT_BENCH_RESTORES:-}" ]; then read -ra restores <<<"$VKT_BENCH_RESTORES"; fi
  if [ "${VKT_BENCH_RESTORE_ALL:-0}" = 1 ]; then
    "${dump[@]}" >"$work/restore_peer_skip.sql"
    sed "$unique_off" "$work/restore_default.sql" >"$work/restore_default_uc0.sql"
    restores+=(peer_skip default_uc0)
  fi
  for f in "${restores[@]}"; do record_size "rst_$f" "$(size_of "$work/restore_$f.sql")"; done
  client=(mariadb --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD")
  table_list=$(IFS=,; echo "${tables[*]}")
  sums() { "${client[@]}" -N -B "$1" -e "CHECKSUM TABLE $table_list EXTENDED" | awk '{ print $2 }' | md5sum; }
  source_sums=$(sums "$VKT_DB_NAME")
  sums_equal=yes
  for r in $(seq 1 "$restore_rounds"); do
    for f in "${restores[@]}"; do
      sql -e "DROP DATABASE IF EXISTS vkt_restore; CREATE DATABASE vkt_restore"
      measure "rst_$f" /dev/null sh -c 'f=$1; shift; exec "$@" vkt_restore <"$f"' sh "$work/restore_$f.sql" "${client[@]}"
      [ "$(sums vkt_restore)" = "$source_sums" ] || { sums_equal=NO; echo "  the restore of $f differs from the source"; }
    done
    echo "  round $r done"
  done
  sql -e "DROP DATABASE IF EXISTS vkt_restore"
fi

# --- report ----------------------------------------------------------------------

echo
echo "=== Results: $rows rows ($floor_rows fetched by the floor), $rounds rounds, $(nproc) cores ==="
echo "    load average before / after: $load_before / $(load_average)"
echo "    (wall median/min/max; peak RSS max; user, sys and server CPU medians)"
echo
echo "Full backup"
header
row "tool, full" tool_full
row "tool, full, zstd" tool_full_z
[ -n "${VKT_BIN_BEFORE:-}" ] && row "tool before (VKT_BIN_BEFORE)" tool_before
row "mariadb-dump --skip-ext-insert" dump
row "fetch floor (use_result)" floor
echo "  tool/peer  $(ratio "$(med tool_full 1)" "$(med dump 1)")"
echo "  tool/floor $(ratio "$(med tool_full 1)" "$(med floor 1)")   (median of each round's own: $(paired tool_full floor))"
if [ -n "${VKT_BIN_BEFORE:-}" ]; then
  echo "  before/floor $(ratio "$(med tool_before 1)" "$(med floor 1)")   (median of each round's own: $(paired tool_before floor))"
fi
echo "  zstd/plain time $(ratio "$(med tool_full_z 1)" "$(med tool_full 1)")   (target <= 1.25)"
echo "  zstd/plain size $(ratio "$(median <"$work/res/tool_full_z.size")" "$(median <"$work/res/tool_full.size")")   (target <= 0.20)"
echo
echo "Incremental backup (only the 20-row table changed)"
header
row "tool, incremental" tool_inc
row "tool, incremental, zstd" tool_inc_z
[ -n "${VKT_BIN_BEFORE:-}" ] && row "  the same, VKT_BIN_BEFORE" tool_inc_z_before
row "tool, full" tool_full2
row "mariadb-dump --skip-ext-insert" dump2
row "cp of the previous file" cp
row "cp, then sync of the copy" cp_sync
echo "  peer/incremental  $(ratio "$(med dump2 1)" "$(med tool_inc 1)")   (target >= 5)"
echo "  full/incremental  $(ratio "$(med tool_full2 1)" "$(med tool_inc 1)")"
echo "  incremental/cp    $(ratio "$(med tool_inc 1)" "$(med cp 1)")   (target <= 2)"
echo "  incremental/(cp + sync)  $(ratio "$(med tool_inc 1)" "$(med cp_sync 1)")"
echo "  zstd/plain incremental $(ratio "$(med tool_inc_z 1)" "$(med tool_inc 1)")   (target <= 0.8)"
[ -n "${VKT_BIN_BEFORE:-}" ] &&
  echo "  zstd/plain incremental, VKT_BIN_BEFORE $(ratio "$(med tool_inc_z_before 1)" "$(med tool_inc 1)")"
echo "  tables copied from the previous file: $copied_tables of ${#tables[@]} (zstd: $copied_z)"
echo "  compressed incremental equal to the plain one apart from comment lines: $same_z"
echo "  incremental file / full file size: $(ratio "$(median <"$work/res/tool_inc.size")" "$(median <"$work/res/tool_full2.size")")"
echo "  incremental and full file equal apart from comment lines: $same_content"

if [ "${VKT_BENCH_RESTORE:-1}" = 1 ]; then
  echo
  echo "Restore into a fresh database (mariadb < file; checksums equal to the source: $sums_equal)"
  header
  restored() { [ -f "$work/res/$2" ] && row "$1" "$2"; return 0; }
  restored "tool, before bulk loading" rst_before
  restored "tool, default" rst_default
  restored "tool, default, UNIQUE_CHECKS=0" rst_default_uc0
  restored "tool, zeilen-je-insert=1000" rst_multi
  restored "  the same, UNIQUE_CHECKS=0" rst_multi_uc0
  restored "mariadb-dump (extended insert)" rst_peer
  restored "mariadb-dump --skip-ext-insert" rst_peer_skip
  [ -f "$work/res/rst_before" ] && [ -f "$work/res/rst_default" ] &&
    echo "  default/before       $(ratio "$(med rst_default 1)" "$(med rst_before 1)")   (target <= 0.5)"
  [ -f "$work/res/rst_multi" ] && [ -f "$work/res/rst_peer" ] &&
    echo "  zeilen-je-insert=1000/peer  $(ratio "$(med rst_multi 1)" "$(med rst_peer 1)")   (target <= 1.2)"
  echo "  tool full backup with zeilen-je-insert=1000: $(med tool_multi 1) s (default: $(med tool_full 1) s)"
fi

# --- where the time goes -----------------------------------------------------------

echo
echo "Cost of one write() per line on this machine (copy of the ${rows}-row backup)"
for mode in buffered per-line; do
  measure "lw_$mode" "$work/lw_$mode.txt" "$work/line_writes" "$mode" "$base" "$work/lw.out"
  measure "lw_$mode" "$work/lw_$mode.txt" "$work/line_writes" "$mode" "$base" "$work/lw.out"
  rm -f "$work/lw.out"
  printf '  %-9s %10s write calls  wall %6s s  user %5s s  sys %5s s\n' "$mode" "$(cat "$work/lw_$mode.txt")" \
    "$(col "lw_$mode" 1 | minof)" "$(col "lw_$mode" 3 | minof)" "$(col "lw_$mode" 4 | minof)"
done
echo "  tool incremental / per-line copy: $(ratio "$(med tool_inc 1)" "$(col lw_per-line 1 | minof)")" \
     "  (per-line copy / cp: $(ratio "$(col lw_per-line 1 | minof)" "$(med cp 1)"))"

if [ "${VKT_BENCH_PROFILE:-1}" = 1 ] && perf stat -e syscalls:sys_enter_write -- true >/dev/null 2>&1; then
  events=syscalls:sys_enter_write,syscalls:sys_enter_read,syscalls:sys_enter_recvfrom,syscalls:sys_enter_poll,task-clock,context-switches
  echo
  echo "Syscalls of one full run of the tool (perf stat)"
  write_ini "$work/full" "$work/full/out" 0 ""
  (cd "$work/full" && perf stat -x, -e "$events" -o "$work/perf_full.txt" "$bin" </dev/null >/dev/null)
  rm -f "$work/full/out/"*.sql
  awk -F, '/^[0-9]/ { printf "  %-32s %s\n", $3, $1 }' "$work/perf_full.txt"
  echo "Syscalls of one incremental run of the tool (perf stat)"
  touch_small profile
  cp "$work/inc/vkt.ini.base" "$work/inc/vkt.ini"
  (cd "$work/inc" && perf stat -x, -e "$events" -o "$work/perf_inc.txt" "$bin" </dev/null >/dev/null)
  find "$work/inc/out" -name '*.sql' ! -path "$base" -delete
  cp "$work/inc/vkt.ini.base" "$work/inc/vkt.ini"
  awk -F, '/^[0-9]/ { printf "  %-32s %s\n", $3, $1 }' "$work/perf_inc.txt"

  for kind in full inc incz; do
    echo
    echo "Profile of one $kind run of the tool (perf record; self time by library, then by symbol)"
    if [ "$kind" != full ]; then touch_small "profile $kind"; cp "$work/$kind/vkt.ini.base" "$work/$kind/vkt.ini"; fi
    profile_tool "$work/$kind" "$work/perf_$kind.data"
    find "$work/$kind/out" -name '*.sql' ! -path "$base" -delete
    [ "$kind" = incz ] && find "$work/incz/out" -name '*.sql.zst' -newer "$work/incz/vkt.ini.base" -delete
    cp "$work/inc/vkt.ini.base" "$work/inc/vkt.ini"
  done
fi
