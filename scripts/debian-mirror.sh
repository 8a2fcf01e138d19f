#!/usr/bin/env bash
# Prints the URI of the Debian mirror that this machine's own apt sources
# name, so that what the scripts fetch from Debian's archive comes from the
# mirror the machine already uses and no host name lives in this repository.
#
#   debian-mirror.sh            the archive (the suite without -security)
#   debian-mirror.sh security   the security archive (the -security suite)
#
# Reads the deb822 file /etc/apt/sources.list.d/debian.sources, else the
# one-line /etc/apt/sources.list; exits 1 when neither names such a mirror.
set -euo pipefail

want=${1:-archive}
case "$want" in archive|security) ;; *) echo "usage: $0 [security]" >&2; exit 2 ;; esac

uri=
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  # stanzas are separated by blank lines; a stanza of binary packages
  # ("Types: deb") whose suites end in -security is the security archive
  uri=$(awk -v want="$want" '
    function flush() {
      if (!done && uri != "" && types ~ / deb( |$)/ &&
          (want == "security") == (suites ~ /-security( |$)/)) {
        print uri; done = 1
      }
      uri = ""; suites = ""; types = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    tolower($1) == "uris:"   { uri = $2 }
    tolower($1) == "suites:" { $1 = ""; suites = $0 }
    tolower($1) == "types:"  { $1 = ""; types = $0 }
    END { flush() }
  ' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
  # deb [options] URI SUITE COMPONENT...
  uri=$(awk -v want="$want" '
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
      if ((want == "security") == ($(i + 1) ~ /-security$|\/updates$/)) { print $i; exit }
    }
  ' /etc/apt/sources.list)
fi

[ -n "$uri" ] || { echo "debian-mirror: this machine's apt sources name no Debian $want mirror" >&2; exit 1; }
echo "$uri"
