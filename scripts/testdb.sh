#!/usr/bin/env bash
# A private, throwaway MariaDB server for tests and the demo.
#
#   testdb.sh start STATE_DIR [SAMPLE_SQL]   start; writes STATE_DIR/env
#   testdb.sh stop  STATE_DIR                stop and remove its data
#   testdb.sh restart STATE_DIR              stop and start it again on its
#                                            data (same socket and port)
#
# The data directory and the unix socket live in a fresh temporary
# directory; TCP listens on a free loopback port. STATE_DIR/env holds shell
# assignments for callers:
#   VKT_DB_SOCKET VKT_DB_PORT VKT_DB_USER VKT_DB_PASSWORD VKT_DB_NAME
#   VKT_DB_DATADIR VKT_DB_PID
# and MYSQL_UNIX_PORT / MYSQL_TCP_PORT, which the client library honours.
# A server left behind by a crashed run with the same STATE_DIR is stopped
# before a new one starts. The server runs in the caller's TZ.
# VKT_DB_SERVER_OPTIONS: further options for the server, split at spaces.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 start|stop|restart STATE_DIR [SAMPLE_SQL]" >&2; exit 2; }

user=vkt
password='vkt-Secret1'
database=vkt_sample

end_process() {
  local pid=$1
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
}

stop_server() {
  [ -f "$state/env" ] || return 0
  # shellcheck disable=SC1091
  local pid datadir
  pid=$(sed -n 's/^VKT_DB_PID=//p' "$state/env")
  datadir=$(sed -n 's/^VKT_DB_DATADIR=//p' "$state/env")
  end_process "$pid"
  case "$datadir" in /tmp/vkt-testdb.*) rm -rf "$datadir" ;; esac
  rm -f "$state/env"
}

find_binary() {
  for b in "$@"; do command -v "$b" >/dev/null 2>&1 && { command -v "$b"; return 0; }; done
  for b in "$@"; do [ -x "/usr/sbin/$b" ] && { echo "/usr/sbin/$b"; return 0; }; done
  echo "missing: $*" >&2; return 1
}

# Starts the server on "$2/data" at port $3; sets pid ("" when it did not
# come up).
launch() {
  local mysqld=$1 datadir=$2 port=$3 sock="$2/s"
  "$mysqld" --no-defaults --user=root --datadir="$datadir/data" --socket="$sock" \
    --port="$port" --bind-address=127.0.0.1 --pid-file="$datadir/pid" \
    --log-error="$datadir/error.log" --skip-log-bin --innodb-buffer-pool-size=128M \
    --innodb-log-file-size=64M --max-allowed-packet=256M \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    ${VKT_DB_SERVER_OPTIONS:-} >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 300); do
    if [ -S "$sock" ] && mariadb-admin --no-defaults -S "$sock" -uroot ping >/dev/null 2>&1; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
  return 1
}

# The same server again, on its data: what it kept in memory is gone.
restart_server() {
  [ -f "$state/env" ] || { echo "no server in $state" >&2; return 1; }
  local mysqld datadir port old
  mysqld=$(find_binary mariadbd mysqld)
  old=$(sed -n 's/^VKT_DB_PID=//p' "$state/env")
  datadir=$(sed -n 's/^VKT_DB_DATADIR=//p' "$state/env")
  port=$(sed -n 's/^VKT_DB_PORT=//p' "$state/env")
  end_process "$old"
  launch "$mysqld" "$datadir" "$port" || {
    echo "could not restart the test server; log:" >&2
    tail -20 "$datadir/error.log" >&2 || true
    return 1
  }
  sed -i "s/^VKT_DB_PID=.*/VKT_DB_PID=$pid/" "$state/env"
}

start_server() {
  stop_server
  mkdir -p "$state"
  local mysqld install_db datadir sock port pid
  mysqld=$(find_binary mariadbd mysqld)
  install_db=$(find_binary mariadb-install-db mysql_install_db)
  datadir=$(mktemp -d /tmp/vkt-testdb.XXXXXX)
  sock="$datadir/s"
  "$install_db" --no-defaults --user=root --datadir="$datadir/data" \
      --auth-root-authentication-method=socket --skip-test-db >"$datadir/install.log" 2>&1 || {
    cat "$datadir/install.log" >&2; rm -rf "$datadir"; return 1; }

  for attempt in $(seq 1 20); do
    port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    launch "$mysqld" "$datadir" "$port" && break
  done
  if [ -z "$pid" ]; then
    echo "could not start the test server; log:" >&2
    tail -20 "$datadir/error.log" >&2 || true
    rm -rf "$datadir"
    return 1
  fi

  mariadb --no-defaults -S "$sock" -uroot <<SQL
CREATE USER '$user'@'localhost' IDENTIFIED BY '$password';
CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'localhost' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO '$user'@'127.0.0.1' WITH GRANT OPTION;
CREATE DATABASE $database CHARACTER SET utf8mb4;
SQL
  local sample=${3:-$here/sample.sql}
  mariadb --no-defaults -S "$sock" -uroot "$database" <"$sample"

  cat >"$state/env" <<ENV
VKT_DB_SOCKET=$sock
VKT_DB_PORT=$port
VKT_DB_USER=$user
VKT_DB_PASSWORD=$password
VKT_DB_NAME=$database
VKT_DB_DATADIR=$datadir
VKT_DB_PID=$pid
MYSQL_UNIX_PORT=$sock
MYSQL_TCP_PORT=$port
ENV
  echo "test server up: socket $sock, port $port, pid $pid"
}

case "$cmd" in
  start) start_server "$@" ;;
  stop) stop_server ;;
  restart) restart_server ;;
  *) echo "usage: $0 start|stop|restart STATE_DIR [SAMPLE_SQL]" >&2; exit 2 ;;
esac
