#!/usr/bin/env bash
# Builds everything and runs all tests against a private MariaDB server that
# the tests start and stop themselves: once in a normal build (where the
# Debian package is also built, installed into a scratch root and run once),
# once in a build with AddressSanitizer and UndefinedBehaviorSanitizer. Safe
# to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DVKT_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # Two at a time: the unit tests beside the ones that share the server.
  (cd "$dir" && ctest --output-on-failure -j2)
}

echo "== normal build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVKT_SANITIZE=OFF
echo "== sanitizer build =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVKT_SANITIZE=ON
