#!/usr/bin/env bash
# Benchmark of a database of many small tables and views (not part of the
# tests or CI).
#
#   bash bench/tables.sh [tables] [views] [rounds]   defaults: 10000 1000 5
#
# Starts a private server and measures two sizes of the same database: a
# tenth of the tables and views first, then, with the rest added, all of
# them. The tables have a few columns of mixed types and 3 to 7 rows each;
# the views read tables or, in chains, other views (bench/tables.awk).
# Each round, side by side:
#   the tool's full run (backup-from-file=0),
#   mariadb-dump --skip-extended-insert (one row per INSERT, like the tool),
#   the tool's incremental run against that full backup after one small
#   table changed (backup-from-file=1).
# Every backup is checked for its tables, views and rows, and every
# incremental run for the tables it copied from the previous file.
# Prints median wall times, the tool/peer ratios, the time per table of
# both sizes and their ratio (flat: near 1), then where the time goes at
# the larger size: statements per table (the server's Com_* counters) and
# a profile of the tool when perf is usable.
#
# Environment: VKT_BIN, VKT_BENCH_KEEP as for bench/run.sh;
#   VKT_BENCH_PROFILE=0 skip the statement counts and the profiles
#   VKT_BENCH_PEER=0    leave mariadb-dump out (at 10,000 tables a round of
#                       it takes minutes)
#   VKT_BENCH_SERVER_SQL="SET GLOBAL ..." statements run on the server
#                       before the tables are made (for example a larger
#                       table_definition_cache)
set -euo pipefail

tables=${1:-10000}
views=${2:-1000}
rounds=${3:-5}
case "$tables$views$rounds" in *[!0-9]*) echo "usage: $0 [tables] [views] [rounds]" >&2; exit 2 ;; esac
if [ "$tables" -lt 10 ] || [ "$tables" -gt 99999 ] || [ "$views" -gt 9999 ] || [ "$rounds" -lt 1 ]; then
  echo "need 10 <= tables <= 99999, views <= 9999, rounds >= 1" >&2; exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
bench=$root/bench
# shellcheck source=bench/lib.sh
. "$bench/lib.sh"
bench_prepare
bench_server
[ -z "${VKT_BENCH_SERVER_SQL:-}" ] || sql -e "$VKT_BENCH_SERVER_SQL"

# --- data ----------------------------------------------------------------------

# generate FIRST_TABLE LAST_TABLE FIRST_VIEW LAST_VIEW
generate() {
  local start
  start=$(date +%s.%N)
  awk -v t1="$1" -v t2="$2" -v v1="$3" -v v2="$4" -f "$bench/tables.awk" | sql
  awk -v a="$start" -v b="$(date +%s.%N)" -v t=$(($2 - $1 + 1)) -v v=$(($4 - $3 + 1)) \
    'BEGIN { printf "  created %d tables and %d views in %.1f s\n", t, (v > 0 ? v : 0), b - a }'
  sleep 1.1   # update times have whole seconds
}
# The rows of tables 1..N as tables.awk writes them.
rows_of() { awk -v n="$1" 'BEGIN { for (i = 1; i <= n; i++) s += 3 + i % 5; print s }'; }

# One small table changes between a full run and the incremental one. The
# pause puts the change in a later second than the full backup's stamp.
touch_table() {
  sleep 1.1
  sql -e "UPDATE t00001 SET name = 'Runde $1' ORDER BY id LIMIT 1"
}

dump=(mariadb-dump --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD"
      --skip-extended-insert "$VKT_DB_NAME")

# check_backup LABEL FILE TABLES VIEWS ROWS: the file must hold every table,
# every view and every row. The tool's file must create a view only after
# the views it reads (mariadb-dump creates stand-ins first and final views
# in comments: /*!50001 VIEW ...).
check_backup() {
  local counts view='^CREATE .*VIEW `' order=1
  case $1 in mariadb-dump) view='^/[*]!50001 VIEW `'; order=0 ;; esac
  counts=$(awk -v view="$view" -v order="$order" '
    /^CREATE TABLE/ { t++ }
    /^INSERT INTO/ { r++ }
    $0 ~ view {
      v++
      rest = substr($0, index($0, "VIEW `") + 6)
      name = substr(rest, 1, index(rest, "`") - 1)
      rest = substr(rest, length(name) + 2)
      while (order && match(rest, /`v[0-9][0-9][0-9][0-9]`/)) {
        read = substr(rest, RSTART + 1, RLENGTH - 2)
        if (!(read in made)) early++
        rest = substr(rest, RSTART + RLENGTH)
      }
      made[name] = 1
    }
    END { printf "%d %d %d", t, v, r; if (early) printf " (%d views read before they are made)", early }' "$2")
  if [ "$counts" != "$3 $4 $5" ]; then
    echo "$1: $2 holds $counts (tables views rows), expected $3 $4 $5" >&2; exit 1
  fi
}

# --- measuring -------------------------------------------------------------------

# measure_size TABLES VIEWS: the rounds at the current size; the results
# are named full_TABLES, dump_TABLES, inc_TABLES.
measure_size() {
  local n=$1 v=$2 rows r f inc copied
  rows=$(rows_of "$n")
  echo "Measuring $n tables, $v views ($rows rows): $rounds rounds"
  for r in $(seq 1 "$rounds"); do
    # Without a stamp the full run starts at once (it waits for the next
    # second only after a previous backup).
    write_ini "$work/t" "$work/t/out" 0 ""
    f=$(run_tool "full_$n" "$work/t")
    check_backup "tool, full" "$f" "$n" "$v" "$rows"
    record_size "full_$n" "$(size_of "$f")"

    if [ "$peer" = 1 ]; then
      measure "dump_$n" "$work/dump.sql" "${dump[@]}"
      check_backup mariadb-dump "$work/dump.sql" "$n" "$v" "$rows"
      record_size "dump_$n" "$(size_of "$work/dump.sql")"
      rm -f "$work/dump.sql"
    fi

    write_ini "$work/t" "$work/t/out" 1 "$(ini_stamp "$work/t")"
    touch_table "$r of $n"
    inc=$(run_tool "inc_$n" "$work/t")
    check_backup "tool, incremental" "$inc" "$n" "$v" "$rows"
    record_size "inc_$n" "$(size_of "$inc")"
    copied=$(grep -c 'Kopiere die Daten aus dem alten Backup' "$work/t/log.txt" || true)
    echo "$copied" >>"$work/res/copied_$n"
    rm -f "$f" "$inc"
    echo "  round $r done (incremental copied $copied of $((n - 1)) unchanged tables)"
  done
  # InnoDB keeps update times only in memory, and loses them with the
  # table's cached definition.
  sql -e "SELECT SUM(UPDATE_TIME IS NULL) FROM information_schema.TABLES
          WHERE TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'BASE TABLE'" >"$work/res/unknown_$n"
}

peer=${VKT_BENCH_PEER:-1}
small_tables=$((tables / 10))
small_views=$((views / 10))
load_before=$(load_average)
echo "Generating $small_tables tables, $small_views views"
generate 1 "$small_tables" 1 "$small_views"
measure_size "$small_tables" "$small_views"
echo "Adding $((tables - small_tables)) tables, $((views - small_views)) views"
generate $((small_tables + 1)) "$tables" $((small_views + 1)) "$views"
measure_size "$tables" "$views"

# --- report ------------------------------------------------------------------------

per_table_ms() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.3f", s * 1000 / n }'; }

report_size() {  # TABLES VIEWS
  local n=$1 copied
  copied=$(sort -gu "$work/res/copied_$n" | paste -sd/)
  echo
  echo "$n tables, $2 views"
  header
  row "tool, full" "full_$n"
  [ "$peer" = 1 ] && row "mariadb-dump --skip-ext-insert" "dump_$n"
  row "tool, incremental" "inc_$n"
  if [ "$peer" = 1 ]; then
    echo "  tool full / peer         $(ratio "$(med "full_$n" 1)" "$(med "dump_$n" 1)")   (target <= 1.5)"
    echo "  tool incremental / peer  $(ratio "$(med "inc_$n" 1)" "$(med "dump_$n" 1)")   (target <= 1.5)"
  fi
  printf '  ms per table: tool full %s, tool incremental %s\n' \
    "$(per_table_ms "$(med "full_$n" 1)" "$n")" "$(per_table_ms "$(med "inc_$n" 1)" "$n")"
  [ "$peer" = 1 ] && echo "  ms per table, peer: $(per_table_ms "$(med "dump_$n" 1)" "$n")"
  echo "  tables copied by the incremental runs: $copied of $((n - 1)) unchanged"
  echo "  tables whose update time the server no longer knew after the rounds: $(cat "$work/res/unknown_$n") of $n"
}
flatness() {  # LABEL NAME
  local small large
  small=$(per_table_ms "$(med "${2}_$small_tables" 1)" "$small_tables")
  large=$(per_table_ms "$(med "${2}_$tables" 1)" "$tables")
  printf '  %-18s %s ms -> %s ms   %s\n' "$1" "$small" "$large" "$(ratio "$large" "$small")"
}

echo
echo "=== Results: many small tables, $rounds rounds, $(nproc) cores ==="
echo "    load average before / after: $load_before / $(load_average)"
echo "    (wall median/min/max; peak RSS max; user, sys and server CPU medians)"
echo "    server: $(sql -e "SELECT CONCAT('table_definition_cache ', @@table_definition_cache,
                              ', table_open_cache ', @@table_open_cache)")"
report_size "$small_tables" "$small_views"
report_size "$tables" "$views"
echo
echo "Time per table, $small_tables -> $tables tables (flat: near 1)"
flatness "tool, full" full
flatness "tool, incremental" inc
[ "$peer" = 1 ] && flatness "mariadb-dump" dump

[ "${VKT_BENCH_PROFILE:-1}" = 1 ] || exit 0

# --- where the time goes -----------------------------------------------------------

# com_counts FILE: the server's statement counters, "name value" a line.
com_counts() {
  sql -e "SHOW GLOBAL STATUS WHERE Variable_name LIKE 'Com\\_%' OR Variable_name = 'Questions'" >"$1"
}
# statements LABEL COMMAND...: runs COMMAND once, prints the statements it
# sent per table (the two status queries around it add one Com_show_status).
statements() {
  local label=$1
  shift
  com_counts "$work/com_before"
  "$@" >/dev/null 2>&1 </dev/null
  com_counts "$work/com_after"
  echo "  $label:"
  join "$work/com_before" "$work/com_after" |
    awk -v n="$tables" '$3 - $2 > 0 { printf "    %-28s %9d  %7.2f per table\n", $1, $3 - $2, ($3 - $2) / n }'
}

echo
echo "Statements sent to the server, one run each at $tables tables"
write_ini "$work/t" "$work/t/out" 0 ""
statements "tool, full" bash -c "cd '$work/t' && '$bin'"
write_ini "$work/t" "$work/t/out" 1 "$(ini_stamp "$work/t")"
touch_table profile
statements "tool, incremental" bash -c "cd '$work/t' && '$bin'"
[ "$peer" = 1 ] && statements "mariadb-dump" "${dump[@]}"
rm -f "$work/t/out/"*.sql

perf record -q -o /dev/null -- true >/dev/null 2>&1 || exit 0

echo
echo "Profile of one full run of the tool (perf record; self time by library, then by symbol)"
write_ini "$work/t" "$work/t/out" 0 ""
profile_tool "$work/t" "$work/perf.data"
echo
echo "Profile of one incremental run of the tool"
write_ini "$work/t" "$work/t/out" 1 "$(ini_stamp "$work/t")"
touch_table "profile incremental"
profile_tool "$work/t" "$work/perf_inc.data"
rm -f "$work/t/out/"*.sql

# The server during one full run of the tool: where it spends its time.
echo
echo "Profile of the server during one full run of the tool (self time, then with callees, by symbol)"
write_ini "$work/t" "$work/t/out" 0 ""
perf record -q -F 999 -g -p "$VKT_DB_PID" -o "$work/perf_server.data" >/dev/null 2>&1 &
perf_pid=$!
sleep 0.5
(cd "$work/t" && "$bin" </dev/null >/dev/null 2>&1) || true
kill -INT "$perf_pid" 2>/dev/null || true
wait "$perf_pid" 2>/dev/null || true
perf_top "$work/perf_server.data" symbol 15
perf_top "$work/perf_server.data" symbol 30 --children
rm -f "$work/t/out/"*.sql
