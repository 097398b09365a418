#!/usr/bin/env bash
# Soak: N cycles (default 20) of changing a few tables from another client
# and running an incremental backup at once, so that some changes land in
# the same second as a backup run. After every cycle the newest backup file
# is restored with the stock client into a fresh database and must match
# the live database's checksums and row counts.
#
#   scripts/soak.sh [cycles] [state-dir-of-a-running-test-server]
# Without a state dir it starts (and stops) a private server of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cycles=${1:-20}
state=${2:-}
binary=${VKT_BINARY:-$root/build/velmoraskintide}
export TZ=${TZ:-Europe/Berlin}

if [ ! -x "$binary" ]; then
  scripts/install-deps.sh
  cmake -S . -B build >/dev/null && cmake --build build --target velmoraskintide >/dev/null
fi
work=$(mktemp -d /tmp/vkt-soak.XXXXXX)
cleanup() {
  [ -n "${own_state:-}" ] && scripts/testdb.sh stop "$own_state"
  rm -rf "$work"
}
trap cleanup EXIT
if [ -z "$state" ]; then
  own_state="$work/testdb"
  state=$own_state
  scripts/testdb.sh start "$state" >/dev/null
fi
set -a; . "$state/env"; set +a

db=vkt_soak
sql() { mariadb --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD" "$@"; }
sums() {  # checksums and row counts of every base table of database $1
  local t
  for t in $(sql -N "$1" -e "SELECT TABLE_NAME FROM information_schema.TABLES WHERE
      TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'BASE TABLE' ORDER BY 1"); do
    echo "$t $(sql -N "$1" -e "CHECKSUM TABLE \`$t\` EXTENDED" | cut -f2) \
$(sql -N "$1" -e "SELECT COUNT(*) FROM \`$t\`")"
  done
}

sql -e "DROP DATABASE IF EXISTS $db; CREATE DATABASE $db CHARACTER SET utf8mb4"
sql "$db" <<'SQL'
CREATE TABLE t1 (id INT PRIMARY KEY, v VARCHAR(40)) ENGINE=InnoDB;
CREATE TABLE t2 (id INT PRIMARY KEY, v TEXT, n DOUBLE) ENGINE=InnoDB;
CREATE TABLE t3 (id INT PRIMARY KEY, b BLOB) ENGINE=MyISAM;
CREATE TABLE t4 (id INT AUTO_INCREMENT PRIMARY KEY, d DATETIME) ENGINE=InnoDB;
INSERT INTO t1 SELECT seq, CONCAT('eins ', seq) FROM seq_1_to_500;
INSERT INTO t2 SELECT seq, REPEAT('x\n''', seq % 7), seq / 3 FROM seq_1_to_500;
INSERT INTO t3 SELECT seq, UNHEX(MD5(seq)) FROM seq_1_to_500;
INSERT INTO t4 (d) SELECT NOW() FROM seq_1_to_50;
CREATE VIEW v1 AS SELECT id FROM t1;
SQL
printf '[DBDATEN]\r\nhost=localhost\r\nuser=%s\r\npass=%s\r\ndb-name=%s\r\nsave-path=%s\r\nsave-strucktur=1\r\nsave-daten=1\r\ndroptable=1\r\nbackup-from-file=1\r\n\r\n' \
  "$VKT_DB_USER" "$VKT_DB_PASSWORD" "$db" "$work" >"$work/vkt.ini"

failures=0
for cycle in $(seq 1 "$cycles"); do
  # A few tables change; on odd cycles right away, in the second of the
  # previous run, on even cycles after a short pause.
  [ $((cycle % 2)) -eq 0 ] && sleep 0.$((RANDOM % 9 + 1))
  for t in t1 t2 t3 t4; do
    [ $((RANDOM % 2)) -eq 0 ] && continue
    case $t in
      t1) sql "$db" -e "UPDATE t1 SET v = CONCAT('c$cycle ', id) WHERE id % 10 = $((RANDOM % 10))" ;;
      t2) sql "$db" -e "INSERT INTO t2 VALUES ($((1000 + cycle)), 'neu\\\\$cycle', $cycle)" ;;
      t3) sql "$db" -e "DELETE FROM t3 WHERE id = $((RANDOM % 500 + 1))" ;;
      t4) sql "$db" -e "INSERT INTO t4 (d) VALUES (NOW())" ;;
    esac
  done
  (cd "$work" && "$binary" </dev/null >"$work/run.log" 2>&1) || true
  newest=$(ls "$work"/$db-*.sql | sort | tail -n 1)
  sql -e "DROP DATABASE IF EXISTS ${db}_restore; CREATE DATABASE ${db}_restore CHARACTER SET utf8mb4"
  if ! sql --default-character-set=latin1 "${db}_restore" <"$newest" 2>"$work/restore.err"; then
    echo "cycle $cycle: restore of $newest failed: $(cat "$work/restore.err")"
    failures=$((failures + 1))
  elif [ "$(sums "$db")" != "$(sums "${db}_restore")" ]; then
    echo "cycle $cycle: $newest does not match the database"
    diff <(sums "$db") <(sums "${db}_restore") || true
    failures=$((failures + 1))
  else
    echo "cycle $cycle: $(basename "$newest") matches ($(grep -c 'Kopiere die Daten' "$work/run.log" || true) tables copied)"
  fi
done
echo "soak: $((cycles - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
