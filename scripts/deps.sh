#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# when any is missing. Needs root (or sudo) only when something is missing.
# slapd and sks are the benchmarks' and interop tests' peers (each run as its own instance);
# DEBIAN_FRONTEND=noninteractive lets its configuration take the defaults.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libssl-dev libdb5.3-dev db5.3-util
          zlib1g-dev libbz2-dev libmicrohttpd-dev pkg-config ldap-utils gnupg dirmngr curl openssl ca-certificates
          libldap-dev slapd python3 gpg-wks-client prometheus sks bc iproute2 linux-perf
          dpkg-dev binutils file lintian man-db groff-base systemd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
