# Sourced by the set-up scripts: running as root, whether a package is
# installed, and the archive entries of apt's sources.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The archive entry of the system's own Debian suite (its URI and key), from
# either the deb822 form (*.sources) or the one-line form. Prints
# "URI|KEY"; KEY may be empty.
main_archive_entry() {
  local f found
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    found=$(awk -v RS= '/(^|\n)Types:[^\n]*deb([ \n]|$)/ && /(^|\n)Suites:[^\n]*bookworm([ \n]|$)/ {
        uri=""; key="";
        n = split($0, lines, "\n");
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", lines[i]); split(lines[i], u, " "); uri=u[1] }
          if (lines[i] ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", lines[i]); key=lines[i] }
        }
        if (uri != "") { print uri "|" key; exit }
      }' "$f")
    [ -z "$found" ] || { echo "$found"; return 0; }
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    found=$(awk '$1 == "deb" { i = 2; key = "";
           if ($2 ~ /^\[/) { for (; i <= NF && $i !~ /\]$/; i++) if ($i ~ /signed-by=/) key = $i;
                             if ($i ~ /signed-by=/) key = $i; i++ }
           if ($(i+1) == "bookworm") { sub(/.*signed-by=/, "", key); sub(/\]$/, "", key); print $i "|" key; exit } }' "$f")
    [ -z "$found" ] || { echo "$found"; return 0; }
  done
}

# Writes a deb822 entry for the system's archive: types, suites, file.
add_archive_entry() {
  local types=$1 suites=$2 file=$3 entry uri key
  entry=$(main_archive_entry || true)
  uri=${entry%%|*}; key=${entry#*|}
  [ -n "$uri" ] || { echo "$(basename "$0" .sh): no Debian bookworm archive entry found in /etc/apt; add '$types $suites' by hand" >&2; return 1; }
  echo "$(basename "$0" .sh): adding $types $suites ($uri)"
  {
    echo "Types: $types"
    echo "URIs: $uri"
    echo "Suites: $suites"
    echo "Components: main"
    [ -z "$key" ] || echo "Signed-By: $key"
  } | as_root tee "$file" >/dev/null
}

# Whether apt has an entry of this type (deb or deb-src) for this suite.
has_archive_entry() {
  local type=$1 suite=$2 f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= -v t="$type" -v s="$suite" '
      { types = ""; suites = ""; n = split($0, lines, "\n");
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^Types:/) types = " " substr(lines[i], 7) " ";
          if (lines[i] ~ /^Suites:/) suites = " " substr(lines[i], 8) " ";
        }
        gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites);
        if (index(types, " " t " ") && index(suites, " " s " ")) { found = 1; exit } }
      END { exit !found }' "$f" && return 0
  done
  grep -qsE "^[ \t]*$type([ \t]+\[[^]]*\])?[ \t]+[^ \t]+[ \t]+$suite([ \t]|$)" /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}
