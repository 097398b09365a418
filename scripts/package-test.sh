#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as an
# administrator gets it: lintian finds no error and no warning in it, apt
# accepts it on this machine (its dependencies, the client library among
# them, can be met), it installs into a scratch root where it creates its
# system user, its systemd units pass systemd-analyze and the service's
# exposure stays at most 2.0, and the installed command makes one backup
# against a running test server and checks it, as the service does after
# each run.
#
#   scripts/package-test.sh BUILD_DIR STATE_DIR_OF_A_RUNNING_TEST_SERVER
set -euo pipefail
build=$(cd "$1" && pwd)
state=$2
work=$(mktemp -d /tmp/vkt-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
logged() {  # runs a command quietly; shows its output when it fails
  "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$*"; }
}

rm -f "$build"/velmoraskintide_*.deb
(cd "$build" && logged cpack -G DEB)
deb=$(echo "$build"/velmoraskintide_*_*.deb)
[ -f "$deb" ] || fail "no package built"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libmariadb3* ]] || fail "the package does not depend on libmariadb3"
logged apt-get install --simulate "$deb"
# Tags of the levels error and warning fail; lintian says "not recommended"
# to root, which is no tag.
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
! grep -q '^[EW]: ' <<<"$lint" || fail "lintian: $lint"
echo "lintian: no errors, no warnings"

# Install into a scratch root: a dpkg database of its own, where nothing
# else is installed (so its dependencies are not checked there).
root="$work/root"
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  # The maintainer script runs here, not chrooted into the empty root, and
  # creates the system user in the root that DPKG_ROOT names.
  logged dpkg --root="$root" --force-depends --force-script-chrootless \
    --log=/dev/null -i "$deb"
  grep -q '^velmoraskintide:[^:]*:[0-9]*:[0-9]*:[^:]*:[^:]*:/usr/sbin/nologin$' \
    "$root/etc/passwd" || fail "postinst created no system user velmoraskintide"
  echo "system user velmoraskintide created"
else
  logged dpkg-deb -x "$deb" "$root"
fi
units="$root/usr/lib/systemd/system"
for f in usr/bin/velmoraskintide usr/share/doc/velmoraskintide/README.md \
         usr/share/doc/velmoraskintide/examples/velmoraskintide.cron \
         usr/share/man/man1/velmoraskintide.1.gz usr/lib/sysusers.d/velmoraskintide.conf; do
  [ -f "$root/$f" ] || fail "the package lacks /$f"
done
command -v systemd-analyze >/dev/null || fail "systemd-analyze is missing (package systemd)"
# The units the package's units refer to come from this machine, and so
# does install(1) for the save path; the command their ExecStart names and
# the manual page they cite must be the package's own.
cp -rn /lib/systemd/system/. "$units/"
cp -n "$(command -v install)" "$root/usr/bin/"
out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" \
      velmoraskintide@nightly.service velmoraskintide@nightly.timer 2>&1) ||
  fail "systemd-analyze: $out"
[ -z "$out" ] || fail "systemd-analyze: $out"
echo "systemd units verified"
# What the service may do, judged from its file alone (no running systemd
# needed); --threshold counts in tenths.
out=$(systemd-analyze security --offline=true --threshold=20 \
      "$units/velmoraskintide@.service" 2>&1) || fail "exposure above 2.0: $out"
grep -o 'Overall exposure level.*' <<<"$out"

# One backup of the sample database by the installed command.
set -a; . "$state/env"; set +a
job="$work/job"
mkdir "$job"
printf '[DBDATEN]\r\nhost=localhost\r\nuser=%s\r\npass=%s\r\ndb-name=%s\r\nsave-path=%s\r\nsave-strucktur=1\r\nsave-daten=1\r\ndroptable=1\r\nbackup-from-file=1\r\n\r\n' \
  "$VKT_DB_USER" "$VKT_DB_PASSWORD" "$VKT_DB_NAME" "$job" >"$job/vkt.ini"
(cd "$job" && logged "$root/usr/bin/velmoraskintide" </dev/null)
backup=$(echo "$job/$VKT_DB_NAME"-*.sql)
[ -f "$backup" ] || { cat "$work/log" >&2; fail "the installed command wrote no backup"; }
grep -q "^INSERT INTO " "$backup" || fail "the backup holds no rows"
stamp=${backup: -18:14}
grep -q "^zeit-last-backup=$stamp" "$job/vkt.ini" || fail "zeit-last-backup not stored"
echo "installed command wrote $(basename "$backup")"
# The units' step after a run: the file vkt.ini names as the last backup
# holds.
grep -q "^ExecStartPost=velmoraskintide --pruefen$" "$units/velmoraskintide@.service" ||
  fail "the service does not check what it wrote"
(cd "$job" && logged "$root/usr/bin/velmoraskintide" --pruefen)
grep -q ": OK$" "$work/log" || fail "the check did not say OK: $(cat "$work/log")"
echo "installed command checked it"
