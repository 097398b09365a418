#!/usr/bin/env bash
# The main job, shown on a throwaway server: builds the tool, starts a
# private MariaDB server with a sample database, writes a vkt.ini in a demo
# working directory, runs a full backup, changes one table, runs an
# incremental backup, and shows the files. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target velmoraskintide

export TZ=${TZ:-Europe/Berlin}
state="$root/demo/testdb"
work="$root/demo/work"
trap 'scripts/testdb.sh stop "$state"' EXIT
scripts/testdb.sh start "$state"
set -a; . "$state/env"; set +a

rm -rf "$work"
mkdir -p "$work/backups"
printf '[DBDATEN]\r\nhost=localhost\r\nuser=%s\r\npass=%s\r\ndb-name=%s\r\nsave-path=%s\r\nsave-strucktur=1\r\nsave-daten=1\r\ndroptable=1\r\nbackup-from-file=1\r\n\r\n' \
  "$VKT_DB_USER" "$VKT_DB_PASSWORD" "$VKT_DB_NAME" "$work/backups" >"$work/vkt.ini"

show() { iconv -f WINDOWS-1252 -t UTF-8 2>/dev/null || cat; }
run_tool() { (cd "$work" && "$root/build/velmoraskintide" </dev/null 2>&1) | show; }

# Update times have whole seconds: let the sample's second pass, so that
# the first backup can record them as known.
sleep 1

echo "=== First run: no previous backup yet, so a full backup ==="
run_tool
sleep 1

echo
echo "=== A change: one new order ==="
mariadb --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD" "$VKT_DB_NAME" \
  -e "INSERT INTO bestellungen (kunde_id, artikel_id, menge, bestellt_am) VALUES (2, 1, 7, NOW())"
sleep 1

echo
echo "=== Second run: incremental, unchanged tables copied from the first file ==="
run_tool

echo
echo "=== Files in $work ==="
ls -l "$work" "$work/backups"
echo
echo "=== vkt.ini ==="
tr -d '\r' <"$work/vkt.ini"
newest=$(ls "$work/backups"/*.sql | sort | tail -n 1)
echo
echo "=== $newest ==="
tr -d "\r" <"$newest"
