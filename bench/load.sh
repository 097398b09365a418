#!/usr/bin/env bash
# Benchmark of restores (not part of the tests or CI).
#
#   bash bench/load.sh [rows] [rounds]        defaults: 1500000 rows, 3 rounds
#
# Starts a private server, generates the database of bench/run.sh (three
# large tables and a small one) with secondary indexes added and the event
# table on MyISAM, writes the tool's default file (one row an INSERT), its
# compressed form, mariadb-dump's default dump and mydumper's dump, then
# measures, several rounds in turn, each into a fresh database:
#   the tool's --einspielen of the default file (connections: the tool's
#   default; and one), of the compressed file; the stock client restoring
#   mariadb-dump's dump; myloader -t N (N the tool's default connections)
#   on mydumper's dump; once (it is slow) the stock client restoring the
#   tool's default file.
# Every restore is compared with the source by CHECKSUM TABLE. Then the
# loader's peak memory for a file of three 64 MiB rows.
#
# Environment:
#   VKT_BIN=path          the binary to measure (default build/velmoraskintide)
#   VKT_BENCH_SLOW=0      skip the stock client restoring the tool's file
#   VKT_BENCH_BIG_ROWS=0  skip the 64 MiB rows
#   VKT_BENCH_KEEP=1      keep the temporary directory
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
need_packages mydumper zstd

# --- server and data ---------------------------------------------------------

bench_server
sql -e "SELECT COUNT(*) FROM seq_1_to_3" >/dev/null 2>&1 ||
  sql -e "INSTALL SONAME 'ha_sequence'"
kunden=$(( rows * 35 / 100 ))
bestellungen=$(( rows * 40 / 100 ))
ereignisse=$(( rows - kunden - bestellungen ))
echo "Generating $rows rows (kunden $kunden, bestellungen $bestellungen, ereignisse $ereignisse) + einstellungen 20"
sed -e "s/@KUNDEN@/$kunden/g" -e "s/@BESTELLUNGEN@/$bestellungen/g" \
    -e "s/@EREIGNISSE@/$ereignisse/g" "$bench/generate.sql" | sql
# Secondary indexes of the kinds a database has, and a MyISAM table.
sql -e "ALTER TABLE kunden ADD KEY ort_name (ort, name), ADD KEY angelegt (angelegt);
        ALTER TABLE bestellungen ADD KEY bestellt (bestellt_am), ADD KEY status (status, bezahlt);
        ALTER TABLE ereignisse ENGINE=MyISAM, ADD KEY zeitpunkt (zeitpunkt), ADD KEY art (art, dauer_ms)"
mapfile -t tables < <(sql -e "SHOW TABLES")
sleep 1.1

# --- the files -----------------------------------------------------------------

# The loader's default: the machine's cores, from 2 to 8.
connections=$(nproc)
[ "$connections" -lt 2 ] && connections=2
[ "$connections" -gt 8 ] && connections=8
write_ini "$work/tool" "$work/tool/out" 0 ""
file=$(run_tool tool_backup "$work/tool")
mv "$file" "$work/default.sql"
write_ini "$work/tool" "$work/tool/out" 0 "" zstd
file=$(run_tool tool_backup_z "$work/tool")
mv "$file" "$work/default.sql.zst"
client=(mariadb --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD")
mariadb-dump --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD" \
  "$VKT_DB_NAME" >"$work/peer.sql"
mydumper -S "$VKT_DB_SOCKET" -u "$VKT_DB_USER" -p "$VKT_DB_PASSWORD" -B "$VKT_DB_NAME" \
  -t "$connections" -o "$work/mydumper" >/dev/null 2>&1
record_size tool_default "$(size_of "$work/default.sql")"
record_size tool_zstd "$(size_of "$work/default.sql.zst")"
record_size peer_client "$(size_of "$work/peer.sql")"
record_size myloader "$(du -sb "$work/mydumper" | cut -f1)"

# The loader reads its server and account from vkt.ini in its directory.
write_ini "$work/load" "$work/load/out" 0 ""
table_list=$(IFS=,; echo "${tables[*]}")
sums() { "${client[@]}" -N -B "$1" -e "CHECKSUM TABLE $table_list EXTENDED" | awk '{ print $2 }' | md5sum; }
source_sums=$(sums "$VKT_DB_NAME")
sums_equal=yes
fresh() { sql -e "DROP DATABASE IF EXISTS vkt_restore"; }
compare() {
  [ "$(sums vkt_restore)" = "$source_sums" ] || { sums_equal=NO; echo "  $1 differs from the source"; }
}
einspielen() {  # NAME FILE [OPTIONS...]
  local name=$1 f=$2
  shift 2
  fresh
  (cd "$work/load" && measure "$name" "$work/load/log.txt" "$bin" --einspielen "$f" \
     --datenbank vkt_restore "$@")
  compare "$name"
}

echo "Restores into a fresh database: $rounds rounds ($connections connections)"
load_before=$(load_average)
for r in $(seq 1 "$rounds"); do
  einspielen tool_default "$work/default.sql"
  einspielen tool_one "$work/default.sql" --verbindungen 1
  einspielen tool_zstd "$work/default.sql.zst"
  fresh; sql -e "CREATE DATABASE vkt_restore"
  measure peer_client /dev/null sh -c 'f=$1; shift; exec "$@" vkt_restore <"$f"' sh \
    "$work/peer.sql" "${client[@]}"
  compare peer_client
  fresh
  measure myloader /dev/null myloader -S "$VKT_DB_SOCKET" -u "$VKT_DB_USER" \
    -p "$VKT_DB_PASSWORD" -d "$work/mydumper" -B vkt_restore -t "$connections" -o
  compare myloader
  if [ "$r" -eq 1 ] && [ "${VKT_BENCH_SLOW:-1}" = 1 ]; then
    fresh; sql -e "CREATE DATABASE vkt_restore"
    measure tool_client /dev/null sh -c 'f=$1; shift; exec "$@" vkt_restore <"$f"' sh \
      "$work/default.sql" "${client[@]}"
    compare tool_client
  fi
  echo "  round $r done"
done
fresh

# --- rows of 64 MiB ------------------------------------------------------------

if [ "${VKT_BENCH_BIG_ROWS:-1}" = 1 ]; then
  sql -e "SET GLOBAL max_allowed_packet = 1073741824"
  sql -e "CREATE DATABASE vkt_big; CREATE TABLE vkt_big.b (id INT PRIMARY KEY, v LONGBLOB);
          INSERT INTO vkt_big.b SELECT seq, REPEAT(CHAR(65 + seq), 64 << 20) FROM seq_1_to_3"
  write_ini "$work/big" "$work/big/out" 0 ""
  sed -i 's/^db-name=.*/db-name=vkt_big\r/' "$work/big/vkt.ini"
  (cd "$work/big" && "$bin" </dev/null >"$work/big/log.txt")
  big=$(ls "$work/big/out/"vkt_big-*.sql)
  record_size tool_big "$(size_of "$big")"
  (cd "$work/load" && measure tool_big "$work/load/log.txt" "$bin" --einspielen "$big" \
     --datenbank vkt_big_restore)
  big_equal=$([ "$(sql -e "CHECKSUM TABLE vkt_big.b EXTENDED" | cut -f2)" = \
                "$(sql -e "CHECKSUM TABLE vkt_big_restore.b EXTENDED" | cut -f2)" ] && echo yes || echo NO)
  sql -e "DROP DATABASE vkt_big; DROP DATABASE vkt_big_restore"
fi

# --- report ----------------------------------------------------------------------

echo
echo "=== Restores: $rows rows, $rounds rounds, $(nproc) cores, $connections connections ==="
echo "    load average before / after: $load_before / $(load_average)"
echo "    (wall median/min/max; peak RSS max; user, sys and server CPU medians)"
echo "    checksums of every restore equal to the source: $sums_equal"
echo
header
row "einspielen, default file" tool_default
row "einspielen, 1 connection" tool_one
row "einspielen, zstd file" tool_zstd
row "mariadb < mariadb-dump" peer_client
row "myloader -t $connections" myloader
[ -f "$work/res/tool_client" ] && row "mariadb < default file" tool_client
echo
echo "  einspielen/(mariadb < mariadb-dump)  $(ratio "$(med tool_default 1)" "$(med peer_client 1)")   (median of each round's own: $(paired tool_default peer_client); target <= 0.5)"
echo "  einspielen/myloader                  $(ratio "$(med tool_default 1)" "$(med myloader 1)")   (median of each round's own: $(paired tool_default myloader); target <= 1.0)"
echo "  einspielen CPU/wall                  $(awk -v u="$(med tool_default 3)" -v s="$(med tool_default 4)" -v w="$(med tool_default 1)" 'BEGIN { printf "%.3f", (u + s) / w }')   (target <= 0.1)"
echo "  einspielen zstd CPU/wall             $(awk -v u="$(med tool_zstd 3)" -v s="$(med tool_zstd 4)" -v w="$(med tool_zstd 1)" 'BEGIN { printf "%.3f", (u + s) / w }')"
echo "  einspielen peak RSS                  $(mb "$(col tool_default 2 | maxof)") MB   (target <= 32 MB + the largest row)"
if [ -f "$work/res/tool_big" ]; then
  echo "  rows of 64 MiB: peak RSS $(mb "$(col tool_big 2 | maxof)") MB, $(med tool_big 1) s, file $(fmb "$(median <"$work/res/tool_big.size")") MB, equal to the source: $big_equal"
fi
