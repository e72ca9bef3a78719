#!/usr/bin/env bash
# Installs, from Debian's packages, what the build, the tool and the tests
# need. Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  g++ make cmake pkg-config binutils
  libheif-dev libheif-examples libstb-dev libcli11-dev
  googletest libgtest-dev
  python3 python3-pytest
  locales libimage-exiftool-perl valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A decimal-comma locale, so the tests can check that reports ignore the
# host's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  as_root sh -c 'grep -q "^de_DE.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null || echo "de_DE.UTF-8 UTF-8" >> /etc/locale.gen'
  as_root locale-gen >/dev/null
fi
