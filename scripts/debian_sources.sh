# Sourced by the cross builds (after apt_sources.sh): Debian's source
# packages of their dependencies. The caller defines fail (as_root comes
# from apt_sources.sh) and sets $cache (fetch_source works in it).

# deb-src entries for the suites the sources come from, and a fresh index
# where the archive's sources are not known yet.
add_source_entries() {
  local src_list=/etc/apt/sources.list.d/morvanta-lumetra-sources.sources suite
  local need_src=()
  for suite in bookworm bookworm-updates bookworm-backports; do
    has_archive_entry deb-src "$suite" || need_src+=("$suite")
  done
  if [ ${#need_src[@]} -gt 0 ]; then
    add_archive_entry deb-src "${need_src[*]}" "$src_list"
    as_root apt-get update -qq
  elif ! apt-cache showsrc --only-source libde265 2>/dev/null | grep -q '^Version:'; then
    as_root apt-get update -qq
  fi
}

# The newest version of a source package that the archive has.
source_version() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -1
}

# libheif at the Linux build's version.
linux_heif_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' libheif-dev 2>/dev/null || true)
  [ -n "$v" ] || v=$(source_version libheif)
  echo "$v"
}

# Unpacks a Debian source package (Debian's patches applied) into dir.
fetch_source() {
  local pkg=$1 ver=$2 dir=$3 work
  work=$(mktemp -d "$cache/src.XXXXXX")
  # apt-get source needs the .dsc; a mirror without it still serves the
  # tarballs the Sources index lists (and checks their hashes).
  if (cd "$work" && apt-get source -qq --download-only "$pkg=$ver" >/dev/null 2>&1) &&
     ls "$work"/*.dsc >/dev/null 2>&1; then
    (cd "$work" && dpkg-source -x --no-check ./*.dsc src >/dev/null)
  else
    local upstream=${ver#*:}; upstream=${upstream%-*}
    ls "$work"/"${pkg}_${upstream}".orig.tar.* >/dev/null 2>&1 || fail "could not fetch the source of $pkg $ver"
    mkdir "$work/src"
    tar -xf "$work"/"${pkg}_${upstream}".orig.tar.* -C "$work/src" --strip-components=1
    tar -xf "$work"/"${pkg}_${ver#*:}".debian.tar.* -C "$work/src"
    if [ -f "$work/src/debian/patches/series" ]; then
      while read -r patch _; do
        case "$patch" in ''|'#'*) continue ;; esac
        patch -s -p1 -d "$work/src" < "$work/src/debian/patches/$patch"
      done < "$work/src/debian/patches/series"
    fi
  fi
  rm -rf "$dir"; mv "$work/src" "$dir"; rm -rf "$work"
}
