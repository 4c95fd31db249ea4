# The machine's own apt sources, read as apt reads them: one-line entries in
# sources.list and sources.list.d/*.list, deb822 stanzas in
# sources.list.d/*.sources. The archive an added entry points at is always
# taken from there, never written here: the machine knows its mirror (or its
# proxy, or its snapshot). apt-config says where the files are, so
# APT_CONFIG can point these functions at other files.
# Sourced by tools/deps.sh and tools/build-windows.sh.

# The folder of the machine's sources.list.d, with a trailing slash.
apt_sources_dir() {
  local parts=
  eval "$(apt-config shell parts Dir::Etc::sourceparts/d)"
  echo "${parts:-/etc/apt/sources.list.d/}"
}

# "TYPE URI SUITE" per enabled entry and suite.
apt_source_entries() {
  local list= parts= file
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  for file in "${list:-/etc/apt/sources.list}" "${parts:=/etc/apt/sources.list.d/}"*.list; do
    [ -f "$file" ] || continue
    # deb [options] URI SUITE COMPONENT...; the options may hold spaces.
    awk '
      { sub(/#.*/, "") }
      $1 == "deb" || $1 == "deb-src" {
        i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if (i < NF) print $1, $i, $(i + 1)
      }' "$file"
  done
  for file in "$parts"*.sources; do
    [ -f "$file" ] || continue
    # Stanzas end at a blank line; a line that starts with a blank goes on
    # the field before it; field names are case-insensitive.
    awk '
      function flush(   nt, nu, ns, t, u, s, T, U, S) {
        if (enabled != "no") {
          nt = split(types, T); nu = split(uris, U); ns = split(suites, S)
          for (t = 1; t <= nt; t++)
            for (u = 1; u <= nu; u++)
              for (s = 1; s <= ns; s++) print T[t], U[u], S[s]
        }
        types = uris = suites = enabled = field = ""
      }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { value = $0 }
      /^[^ \t]/ { i = index($0, ":"); field = tolower(substr($0, 1, i - 1)); value = substr($0, i + 1) }
      field == "types" { types = types " " value }
      field == "uris" { uris = uris " " value }
      field == "suites" { suites = suites " " value }
      field == "enabled" { enabled = tolower(value); gsub(/[ \t]/, "", enabled) }
      END { flush() }' "$file"
  done
}

# Whether an entry of TYPE (deb or deb-src) lists SUITE.
apt_has_entry() {
  apt_source_entries | awk -v type="$1" -v suite="$2" '$1 == type && $3 == suite { found = 1 } END { exit !found }'
}

# The URI of the first deb entry that lists SUITE; nothing when there is none.
apt_archive_of() {
  apt_source_entries | awk -v suite="$1" '$1 == "deb" && $3 == suite && !found { print $2; found = 1 }'
}

# Adds an entry of TYPE (deb or deb-src) for SUITE main in a file of its own
# (FILE, under the sources folder), of the archive the machine's own bookworm
# entry names; false when the sources list SUITE already. Where there is no
# bookworm entry to take the archive from, stops, naming the entry to add.
# PROG names the caller in messages; AS_ROOT runs a command as root.
apt_add_entry() {
  local type=$1 suite=$2 file=$3 prog=$4 uri
  apt_has_entry "$type" "$suite" && return 1
  uri=$(apt_archive_of bookworm)
  if [ -z "$uri" ]; then
    echo "$prog: no bookworm entry in the apt sources to take the archive from; add a $type entry" \
      "for $suite main of this machine's Debian archive to $(apt_sources_dir) and run again" >&2
    exit 1
  fi
  echo "$prog: adding a $type entry for $suite main ($uri)" >&2
  printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$type" "$uri" "$suite" | $AS_ROOT tee "$(apt_sources_dir)$file" >/dev/null
}
