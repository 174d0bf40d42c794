#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the test suite need and is not present yet.
# Does nothing (and asks no package server) when everything is installed already.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev googletest
  libjsoncpp-dev libhiredis-dev libmariadb-dev libssl-dev openssl libwslay-dev
  python3-nacl
  redis-server mariadb-server
  iproute2
  clang libclang-rt-dev clang-format universal-ctags
  prometheus
  haproxy chromium python3
  dpkg-dev lintian systemd
)
# Extra packages may be requested by the caller (for example benchmarks): EXTRA_PACKAGES="haproxy nginx".
if [ -n "${EXTRA_PACKAGES:-}" ]; then
  # shellcheck disable=SC2206
  packages+=(${EXTRA_PACKAGES})
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Servers are started by the tests themselves; keep the packages from starting system services.
policy=/usr/sbin/policy-rc.d
created_policy=0
# The policy goes again however this script ends (a failed install, Ctrl-C): left behind,
# it would keep every service installed later on this machine from starting.
trap 'if [ "$created_policy" -eq 1 ]; then rm -f "$policy"; fi' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if [ ! -e "$policy" ]; then
  created_policy=1
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
fi
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  echo "install-deps: apt-get install failed for: ${missing[*]}" >&2
  exit 1
fi
