# Helpers shared by the benchmarks in bench/ (sourced, not run).
#
# The caller sets `root` (the repository) and calls, in this order:
#   bench_prepare   packages, the binary to measure ($bin), a work directory
#                   ($work, removed on exit unless VKT_BENCH_KEEP=1)
#   bench_server    a private server with its data in memory; sets VKT_DB_*
#                   and defines `sql`
# then times commands with `measure` and `run_tool` and reports the figures
# gathered in $work/res with `header` and `row`.
#
# Environment:
#   VKT_BIN=path        the binary to measure (default build/velmoraskintide,
#                       built with cmake when missing)
#   VKT_BENCH_KEEP=1    keep the temporary directory

export TZ=${TZ:-UTC}   # the server and the tool must share it

# --- packages, binary, work directory ------------------------------------------

need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

bench_cleanup() {
  "$root/scripts/testdb.sh" stop "$work/state" >/dev/null 2>&1 || true
  if [ "${VKT_BENCH_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}

bench_prepare() {
  need_packages time gcc g++ make cmake pkg-config libmariadb-dev mariadb-server mariadb-client
  bin=${VKT_BIN:-$root/build/velmoraskintide}
  if [ ! -x "$bin" ]; then
    echo "Building $bin"
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVKT_TESTS=OFF >/dev/null
    cmake --build "$root/build" --target velmoraskintide -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
  fi
  bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
  work=$(mktemp -d /tmp/vkt-bench.XXXXXX)
  mkdir -p "$work/res"
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

# --- server --------------------------------------------------------------------

sql() { mariadb --no-defaults -S "$VKT_DB_SOCKET" -u"$VKT_DB_USER" -p"$VKT_DB_PASSWORD" -N -B "$VKT_DB_NAME" "$@"; }

bench_server() {
  : >"$work/empty.sql"
  # The server's temporary files stay in the work directory: other servers
  # and their clean-ups share /tmp.
  mkdir -p "$work/tmp"
  TMPDIR=$work/tmp "$root/scripts/testdb.sh" start "$work/state" "$work/empty.sql" >/dev/null
  # shellcheck disable=SC1091
  . "$work/state/env"
  export MYSQL_UNIX_PORT=$VKT_DB_SOCKET
  # The data should sit in memory, as on a server that serves it every day.
  sql -e "SET GLOBAL innodb_buffer_pool_size = 2147483648; SET GLOBAL innodb_flush_log_at_trx_commit = 2;"
  [ "$(sql -e 'SELECT @@tmpdir')" = "$work/tmp" ] || echo "note: the server's tmpdir is $(sql -e 'SELECT @@tmpdir')"
  clk=$(getconf CLK_TCK)
}

# --- measuring -------------------------------------------------------------------

server_cpu_ticks() { sed 's/.*) //' "/proc/$VKT_DB_PID/stat" | awk '{ print $12 + $13 }'; }

# measure NAME STDOUT_FILE COMMAND...: appends "wall rss_kb user sys server_cpu"
# to res/NAME.
measure() {
  local name=$1 out=$2 before after
  shift 2
  before=$(server_cpu_ticks)
  if ! /usr/bin/time -f '%e %M %U %S' -o "$work/time.txt" "$@" >"$out" 2>"$work/stderr.txt" </dev/null; then
    echo "$name failed:" >&2; cat "$work/stderr.txt" "$work/time.txt" >&2; exit 1
  fi
  after=$(server_cpu_ticks)
  echo "$(tail -n 1 "$work/time.txt") $(awk -v a="$before" -v b="$after" -v c="$clk" 'BEGIN { printf "%.2f", (b - a) / c }')" >>"$work/res/$name"
}

write_ini() {  # DIR SAVE_PATH FROM_FILE STAMP [COMPRESSION]
  mkdir -p "$1" "$2"
  printf '[DBDATEN]\r\nhost=localhost\r\nuser=%s\r\npass=%s\r\ndb-name=%s\r\nsave-path=%s\r\nsave-strucktur=1\r\nsave-daten=1\r\ndroptable=1\r\nbackup-from-file=%s\r\nzeit-last-backup=%s\r\nkompression=%s\r\n' \
    "$VKT_DB_USER" "$VKT_DB_PASSWORD" "$VKT_DB_NAME" "$2" "$3" "$4" "${5:-0}" >"$1/vkt.ini"
}
ini_stamp() { sed -n 's/^zeit-last-backup=//p' "$1/vkt.ini" | tr -d '\r'; }

# run_tool NAME DIR: one run of the tool in DIR; prints the file it wrote.
# Fails unless the run advanced zeit-last-backup (the tool does that only
# after a complete backup) and the file it names is there.
run_tool() {
  local name=$1 dir=$2 before stamp file
  before=$(ini_stamp "$dir")
  (cd "$dir" && measure "$name" "$dir/log.txt" "$bin")
  stamp=$(ini_stamp "$dir")
  file=$(sed -n 's/^save-path=//p' "$dir/vkt.ini" | tr -d '\r')/$VKT_DB_NAME-$stamp.sql
  [ -e "$file" ] || file=$file.zst
  if [ "$stamp" = "$before" ] || [ ! -s "$file" ]; then
    echo "$name: the tool wrote no backup; its output:" >&2; tail -20 "$dir/log.txt" >&2; exit 1
  fi
  echo "$file"
}

# perf_top DATA SORT COUNT [MODE]: the first COUNT lines of a perf report of
# DATA sorted by SORT; MODE --children counts callees into their callers.
perf_top() {
  perf report -i "$1" "${4:---no-children}" --sort "$2" --stdio -g none 2>/dev/null |
    grep -E '^ +[0-9]' | head -"$3" | sed -E 's/^ +/    /; s/[ -]+$//' || true
  echo "    --"
}

# profile_tool DIR DATA: records one run of the tool in DIR into DATA and
# prints its self time by library, then by symbol (needs a usable perf).
profile_tool() {
  (cd "$1" && perf record -q -F 999 -g -o "$2" "$bin" </dev/null >/dev/null 2>&1) || true
  perf_top "$2" dso 15
  perf_top "$2" dso,symbol 15
}

size_of() { stat -c %s "$1"; }
record_size() { echo "$2" >>"$work/res/$1.size"; }

# --- report ------------------------------------------------------------------------

# col NAME N: values of column N of res/NAME, one a line
col() { cut -d' ' -f"$2" "$work/res/$1"; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
maxof() { sort -g | tail -n 1; }
minof() { sort -g | head -n 1; }
med() { col "$1" "$2" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# paired A B: the median of the rounds' own ratios of wall times, A to B.
# Both ran in the same round, so a machine that is slower for a while
# slows both: steadier than the ratio of the medians on a noisy machine.
paired() {
  paste -d' ' <(col "$1" 1) <(col "$2" 1) | awk '$2 > 0 { print $1 / $2 }' | median |
    awk '{ printf "%.2f", $1 }'
}
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
fmb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

row() {  # LABEL NAME
  local size="-"
  [ -f "$work/res/$2.size" ] && size=$(fmb "$(median <"$work/res/$2.size")")
  printf '  %-30s %8s %8s %8s %9s %7s %7s %9s %9s\n' "$1" "$(med "$2" 1)" "$(col "$2" 1 | minof)" \
    "$(col "$2" 1 | maxof)" "$(mb "$(col "$2" 2 | maxof)")" "$(med "$2" 3)" "$(med "$2" 4)" "$(med "$2" 5)" "$size"
}
header() {
  printf '  %-30s %8s %8s %8s %9s %7s %7s %9s %9s\n' "" "median s" "min s" "max s" "peak MB" "user s" "sys s" "server s" "file MB"
}
load_average() { cut -d' ' -f1-3 /proc/loadavg; }
