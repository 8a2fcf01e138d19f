#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: packages
# already present are skipped, and apt is not touched at all when nothing is missing.
set -euo pipefail

# libboost-dev: Boost's headers, for Boost.Math's incomplete gamma function (the
# split check's p-value; header-only, nothing to link).  prometheus: promtool
# checks the metrics exposition, and the tests scrape the module with a real
# Prometheus server of their own (its packaged service is never started).
# libpcre2-dev: the module's regular expressions, and nginx's from 1.22 on, as
# Debian's own build does; libpcre3-dev: only nginx 1.18's own build, which
# knows no PCRE2 (nothing of the project links it).  chromium: the HTML status
# page is rendered by a real browser, headless, in the integration tests.
packages=(
  build-essential g++ make ca-certificates dpkg-dev
  libpcre3-dev libpcre2-dev zlib1g-dev libssl-dev libjson-c-dev
  libgtest-dev googletest
  python3 python3-pytest python3-pytest-xdist
  curl openssl valgrind
  libboost-dev
  prometheus
  chromium
)
# Callers may name more: make fuzz asks for clang and its libFuzzer runtime,
# which nothing else needs.
packages+=("$@")

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
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

# A package with a service (prometheus) must not start it on this host:
# invoke-rc.d and deb-systemd-invoke ask policy-rc.d first, and 101 means
# "not now".  One that is already there is left alone.
policy=
if [ ! -e /usr/sbin/policy-rc.d ]; then
  policy=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\n# install-deps: no service starts while packages install\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
