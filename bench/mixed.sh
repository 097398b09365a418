#!/usr/bin/env bash
# How often the binary log gives a clean answer under MIXED (not part of
# the tests or CI).
#
#   bash bench/mixed.sh [rounds] [statements]   defaults: 20 200
#
# Starts a private server with its binary log on, binlog_format=MIXED, and
# a shop database: customers, articles, orders, stock and an audit table,
# a trigger on the orders that books stock and audit, a procedure that
# cancels an order, and a view of the regular customers. Each round runs
# `statements` statements of an application on it, then an incremental
# run, and counts whether the log answered (clean) or the run fell back,
# and why. Three applications, one after the other: one that writes only
# through tables and the procedure, one that in addition credits a
# regular customer now and then through the view (one statement in 50),
# and one that updates another database besides. The server logs a write
# to the orders as rows (their trigger and AUTO_INCREMENT make it unsafe
# as a statement), the others as statements.
#
# Environment: VKT_BIN, VKT_BENCH_KEEP as for bench/run.sh.
set -euo pipefail

rounds=${1:-20}
statements=${2:-200}
case "$rounds$statements" in *[!0-9]*) echo "usage: $0 [rounds] [statements]" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
bench_prepare
export VKT_DB_SERVER_OPTIONS="--log-bin --binlog-format=MIXED --server-id=1"
bench_server

sql <<'SQL'
CREATE TABLE kunden (id INT PRIMARY KEY, name VARCHAR(40), punkte INT DEFAULT 0);
CREATE TABLE artikel (id INT PRIMARY KEY, name VARCHAR(40), preis DECIMAL(10,2));
CREATE TABLE lager (artikel INT PRIMARY KEY, bestand INT);
CREATE TABLE bestellungen (id INT AUTO_INCREMENT PRIMARY KEY, kunde INT, artikel INT,
  menge INT, status VARCHAR(10) DEFAULT 'offen', KEY (kunde));
CREATE TABLE protokoll (id INT AUTO_INCREMENT PRIMARY KEY, was VARCHAR(40));
INSERT INTO kunden SELECT seq, MD5(seq), 0 FROM seq_1_to_1000;
INSERT INTO artikel SELECT seq, MD5(seq), seq / 7 FROM seq_1_to_200;
INSERT INTO lager SELECT seq, 1000 FROM seq_1_to_200;
CREATE VIEW stammkunden AS SELECT id, name, punkte FROM kunden WHERE punkte > 0;
DELIMITER //
CREATE TRIGGER bucht AFTER INSERT ON bestellungen FOR EACH ROW BEGIN
  UPDATE lager SET bestand = bestand - NEW.menge WHERE artikel = NEW.artikel;
  INSERT INTO protokoll (was) VALUES (CONCAT('bestellt ', NEW.id));
END//
DELIMITER ;
CREATE PROCEDURE storniere(nr INT) UPDATE bestellungen SET status = 'storniert' WHERE id = nr;
CREATE DATABASE crm;
CREATE TABLE crm.kontakte (id INT PRIMARY KEY, notiz VARCHAR(40));
INSERT INTO crm.kontakte SELECT seq, '' FROM seq_1_to_100;
SQL

# statement N KIND: the application's N-th statement.
statement() {
  local n=$1 kind=$2
  case $((n % 5)) in
    0) echo "INSERT INTO bestellungen (kunde, artikel, menge) VALUES ($((n % 1000 + 1)), $((n % 200 + 1)), $((n % 3 + 1)));" ;;
    1) echo "UPDATE kunden SET punkte = punkte + 1 WHERE id = $((n % 1000 + 1));" ;;
    2) echo "CALL storniere($((n / 2 + 1)));" ;;
    3) if [ "$kind" = other ]; then echo "UPDATE crm.kontakte SET notiz = 'r$n' WHERE id = $((n % 100 + 1));"
       else echo "UPDATE artikel SET preis = preis * 1.01 WHERE id = $((n % 200 + 1));"; fi ;;
    4) if [ "$kind" = view ] && [ $((n % 50)) -eq 4 ]; then
         echo "UPDATE stammkunden SET punkte = punkte + 10 WHERE id = $((n % 1000 + 1));"
       else echo "INSERT INTO protokoll (was) VALUES ('angesehen $n');"; fi ;;
  esac
}

dir=$work/run
write_ini "$dir" "$work/save" 1 ""
run_tool full "$dir" >/dev/null
n=0
for kind in tables view other; do
  clean=0
  declare -A why=()
  for ((r = 1; r <= rounds; r++)); do
    for ((i = 0; i < statements; i++)); do n=$((n + 1)); statement "$n" "$kind"; done | sql
    sleep 1
    run_tool "inc_$kind" "$dir" >/dev/null
    line=$(LC_ALL=C grep -a 'Bin.rlog des Servers wird diesmal nicht gelesen' "$dir/log.txt" || true)
    if [ -z "$line" ]; then
      clean=$((clean + 1))
    else
      reason=$(echo "$line" | iconv -f latin1 -t utf8 | sed 's/.*gelesen, //; s/\. Ge.nderte.*//')
      why[$reason]=$((${why[$reason]:-0} + 1))
    fi
  done
  echo "== $kind: $clean of $rounds runs with a clean answer of the log (median run $(med "inc_$kind" 1) s)"
  for reason in "${!why[@]}"; do echo "   ${why[$reason]} x $reason"; done
  unset why
done
