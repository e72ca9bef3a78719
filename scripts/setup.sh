#!/usr/bin/env bash
# Installs, from Debian's packages, what the build, the tool and the tests
# need. Safe to run again: it only installs what is missing.
set -euo pipefail

# libheif older than this cannot open current phone photos (iOS 18 HDR files).
libheif_min=1.19.7

packages=(
  git g++ make cmake pkg-config binutils
  libstb-dev libcli11-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev
  googletest libgtest-dev
  python3 python3-pytest python3-pip python3-setuptools python3-distributed
  locales libimage-exiftool-perl valgrind help2man bash-completion clang-format
)
# ffmpegdec: FFmpeg's HEVC decoder, which lumetra prefers for big pictures
# (libde265 decodes the rest and what FFmpeg cannot decode).
heif_packages=(
  libheif-dev libheif-examples
  libheif-plugin-libde265 libheif-plugin-x265 libheif-plugin-dav1d libheif-plugin-aomenc libheif-plugin-ffmpegdec
)

. "$(dirname "$0")/apt_sources.sh"
installed_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }
export DEBIAN_FRONTEND=noninteractive
updated=0
apt_update() { [ "$updated" = 1 ] || { as_root apt-get update -qq; updated=1; }; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
if ! has_archive_entry deb bookworm-backports; then
  add_archive_entry deb bookworm-backports "$backports_list"
  updated=0
fi

heif_ok=1
for p in "${heif_packages[@]}"; do installed "$p" || heif_ok=0; done
if [ "$heif_ok" = 1 ] && ! dpkg --compare-versions "$(installed_version libheif-dev)" ge "$libheif_min"; then
  heif_ok=0
fi
if [ "$heif_ok" = 0 ]; then
  echo "setup: installing libheif >= $libheif_min from bookworm-backports"
  apt_update
  as_root apt-get install -y -qq --no-install-recommends -t bookworm-backports "${heif_packages[@]}" >/dev/null
  v=$(installed_version libheif-dev)
  dpkg --compare-versions "$v" ge "$libheif_min" ||
    { echo "setup: libheif-dev $v installed, $libheif_min or newer needed" >&2; exit 1; }
fi

# The tool's libheif plugin directory (as the package makes it): every
# plugin but FFmpeg's decoder, which the library loads on demand. Made again
# on every run, so plugins installed since are seen.
heif_libdir=$(pkg-config --variable=libdir libheif)
as_root "$(dirname "$0")/../tools/heif_plugin_dir.sh" "$heif_libdir/libheif/plugins" \
  "$heif_libdir/morvanta-lumetra/heif-plugins"

# A decimal-comma locale, so the tests can check that reports ignore the
# host's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  as_root sh -c 'grep -q "^de_DE.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null || echo "de_DE.UTF-8 UTF-8" >> /etc/locale.gen'
  as_root locale-gen >/dev/null
fi
