#!/usr/bin/env bash
# Benchmark of change detection across a server restart (not part of the
# tests or CI).
#
#   bash bench/binlog.sh [tables] [rows-per-table] [rounds]   defaults: 2000 200 5
#
# Starts a private server with its binary log on (ROW) and a database of
# `tables` InnoDB tables, and a table_definition_cache larger than that.
# After a full run, each round changes one small table and times an
# incremental run: `rounds` times before a restart of the server, then
# `rounds` times after it, when the server knows no update time any more
# and only the log tells the unchanged tables. Every run after the restart
# must copy all tables but the changed one. Prints the medians and their
# ratio (the target: at most 1.2). Before the restart, each round also
# times the same run by a user who may not read the log (today's rules,
# no scan): the difference is what the log scan costs, printed beside the
# time of SHOW TABLE STATUS at that many tables.
#
# Environment: VKT_BIN, VKT_BENCH_KEEP as for bench/run.sh;
# VKT_BENCH_FORMAT=MIXED (or STATEMENT) logs the changes as statements,
# which the run then proves by the schema's answers (default ROW).
set -euo pipefail

tables=${1:-2000}
rows=${2:-200}
rounds=${3:-5}
case "$tables$rows$rounds" in *[!0-9]*) echo "usage: $0 [tables] [rows] [rounds]" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
bench_prepare
format=${VKT_BENCH_FORMAT:-ROW}
export VKT_DB_SERVER_OPTIONS="--log-bin --binlog-format=$format --server-id=1 --table-definition-cache=$((tables + 1000))"
bench_server

echo "== $tables tables of $rows rows, the binary log on ($format; load $(load_average))"
{
  for ((i = 1; i <= tables; i++)); do
    printf 'CREATE TABLE t%05d (id INT PRIMARY KEY, v VARCHAR(40));\n' "$i"
    printf 'INSERT INTO t%05d SELECT seq, MD5(seq) FROM seq_1_to_%d;\n' "$i" "$rows"
  done
} | sql
dir=$work/run
write_ini "$dir" "$work/save" 1 ""
run_tool full "$dir" >/dev/null
# The same database for a user without the right to read the log.
sql -e "CREATE USER nolog@localhost IDENTIFIED BY 'nolog'; GRANT SELECT, SHOW VIEW, TRIGGER,
  EVENT, LOCK TABLES ON $VKT_DB_NAME.* TO nolog@localhost; GRANT PROCESS ON *.* TO nolog@localhost"
nolog=$work/nolog
write_ini "$nolog" "$work/save-nolog" 1 ""
sed -i "s/^user=.*\r/user=nolog\r/; s/^pass=.*\r/pass=nolog\r/" "$nolog/vkt.ini"
run_tool full-nolog "$nolog" >/dev/null

change() {  # ROUND: one small table changed, in a new second
  sql -e "UPDATE t00001 SET v = 'round $1' WHERE id = 1"
  sleep 1
}
read_tables() { grep -c "Abfrage der Tabellen-Daten" "$1/log.txt" || true; }

for ((r = 1; r <= rounds; r++)); do
  change "b$r"
  run_tool before "$dir" >/dev/null
  run_tool nolog "$nolog" >/dev/null
done
"$root/scripts/testdb.sh" restart "$work/state" >/dev/null
# shellcheck disable=SC1091
. "$work/state/env"
for ((r = 1; r <= rounds; r++)); do
  change "a$r"
  run_tool after "$dir" >/dev/null
  echo "  after the restart, round $r: $(read_tables "$dir") table(s) read from the server$(
    LC_ALL=C grep -qa 'Bin.rlog des Servers wird diesmal nicht gelesen' "$dir/log.txt" && echo ', the log not read')"
done

echo
echo "== incremental runs, one small table changed (load $(load_average))"
header
row "log, before the restart" before
row "log, after the restart" after
row "no log right, before" nolog
echo "  after / before: $(ratio "$(med after 1)" "$(med before 1)")  (target: at most 1.2)"
echo "  the log scan: $(awk -v a="$(med before 1)" -v b="$(med nolog 1)" 'BEGIN { printf "%.3f", a - b }') s (log run minus no-log run)"

for ((r = 1; r <= rounds; r++)); do measure status /dev/null mariadb --no-defaults -S "$VKT_DB_SOCKET" \
  -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD" "$VKT_DB_NAME" -e "SHOW TABLE STATUS"; done
echo "  SHOW TABLE STATUS at $tables tables: $(med status 1) s (median of $rounds)"
