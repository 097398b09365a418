#!/usr/bin/env bash
# Benchmark of the fixed cost of an incremental run on a crowded server
# (not part of the tests or CI).
#
#   bash bench/crowd.sh [other-tables] [rounds] [rows]   defaults: 20000 7 200000
#
# Starts a private server with its binary log on (ROW, or the format
# VKT_BENCH_FORMAT names: MIXED logs the changes as statements, which the
# run then proves by the schema's answers) that holds, besides
# a small database of three tables (`rows` orders), `other-tables` InnoDB
# tables in another database. Each round changes one row of a small table
# of it and times an incremental run beside the floor for its file: a cp
# of the previous file and a sync of the copy. The target: at most 1.3
# times the floor. With VKT_BIN_BEFORE, the same runs of another build in
# the same rounds. VKT_BENCH_SERVER_OPTIONS adds server options (a slow
# query log with long_query_time=0 shows where a run's time goes).
#
# Environment: VKT_BIN, VKT_BIN_BEFORE, VKT_BENCH_KEEP as for bench/run.sh.
set -euo pipefail

others=${1:-20000}
rounds=${2:-7}
rows=${3:-200000}
case "$others$rounds$rows" in *[!0-9]*) echo "usage: $0 [other-tables] [rounds] [rows]" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
bench_prepare
export VKT_DB_SERVER_OPTIONS="--log-bin --binlog-format=${VKT_BENCH_FORMAT:-ROW} --server-id=1 --table-definition-cache=$((others + 1000)) --table-open-cache=1000 ${VKT_BENCH_SERVER_OPTIONS:-}"
bench_server

echo "== $others tables in another database (load $(load_average))"
sql -e "CREATE DATABASE crowd"
for ((i = 1; i <= others; i++)); do
  printf 'CREATE TABLE crowd.t%05d (id INT PRIMARY KEY, v VARCHAR(40));\n' "$i"
done | sql
sql -e "CREATE TABLE kunden (id INT PRIMARY KEY, name VARCHAR(40));
  CREATE TABLE artikel (id INT PRIMARY KEY, name VARCHAR(40), preis DECIMAL(10,2));
  CREATE TABLE bestellungen (id INT PRIMARY KEY, kunde INT, artikel INT, menge INT, KEY (kunde));
  INSERT INTO kunden SELECT seq, MD5(seq) FROM seq_1_to_2000;
  INSERT INTO artikel SELECT seq, MD5(seq), seq / 7 FROM seq_1_to_500;
  INSERT INTO bestellungen SELECT seq, seq % 2000 + 1, seq % 500 + 1, seq % 9 FROM seq_1_to_$rows;"

dir=$work/run
write_ini "$dir" "$work/save" 1 ""
base=$(run_tool full "$dir")
if [ -n "${VKT_BIN_BEFORE:-}" ]; then
  write_ini "$work/before" "$work/save-before" 1 ""
  bin=$VKT_BIN_BEFORE run_tool full_before "$work/before" >/dev/null
fi
for ((r = 1; r <= rounds; r++)); do
  sql -e "UPDATE artikel SET preis = preis + 1 WHERE id = $r"
  sleep 1
  file=$(run_tool inc "$dir")
  if [ -n "${VKT_BIN_BEFORE:-}" ]; then
    bin=$VKT_BIN_BEFORE run_tool inc_before "$work/before" >/dev/null
  fi
  measure cp_sync /dev/null sh -c 'cp "$1" "$2" && sync "$2"' sh "$file" "$work/copy.sql"
  rm -f "$work/copy.sql" "$base"
  base=$file
done
LC_ALL=C grep -q "Bin.rlog des Servers wird diesmal nicht gelesen" "$dir/log.txt" &&
  echo "note: the last run read no log: $(LC_ALL=C grep -a 'Bin.rlog' "$dir/log.txt")"

header
row "incremental run" inc
[ -n "${VKT_BIN_BEFORE:-}" ] && row "  the same, VKT_BIN_BEFORE" inc_before
row "cp + sync of its file" cp_sync
echo "incremental / (cp + sync): median $(ratio "$(med inc 1)" "$(med cp_sync 1)"), paired $(paired inc cp_sync)"
[ -n "${VKT_BIN_BEFORE:-}" ] &&
  echo "VKT_BIN_BEFORE / (cp + sync): median $(ratio "$(med inc_before 1)" "$(med cp_sync 1)"), paired $(paired inc_before cp_sync)"
exit 0
