#!/usr/bin/env bash
# Installs the Debian packages the project needs (libzstd-dev for the zstd
# library, zstd for the tests that check compressed files,
# mariadb-plugin-connect for those of CONNECT tables; dpkg-dev and file to
# build its own package; lintian, man-db and groff-base to check it and its
# manual page; systemd for systemd-analyze, which checks its units without a
# running systemd), only those missing.
# A second run does nothing.
set -euo pipefail

packages=(g++ make cmake pkg-config libmariadb-dev libzstd-dev zstd mariadb-server mariadb-client
          mariadb-plugin-connect libgtest-dev tzdata dpkg-dev file lintian man-db groff-base
          systemd)
# Optional extras: a caller may ask for clang (fuzzing) with VKT_WITH_CLANG=1.
if [ "${VKT_WITH_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
