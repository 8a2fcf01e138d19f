#!/usr/bin/env bash
# Installs the Debian packages the benchmark needs: wrk (the load generator) and
# gnuplot-nox (the chart). Idempotent like scripts/install-deps.sh: apt is not
# touched at all when everything is already there. Kept out of the build's own
# list because building and testing never need them.
set -euo pipefail

packages=(wrk gnuplot-nox python3 util-linux)

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
  echo "bench: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "bench: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
