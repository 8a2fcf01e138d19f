#!/usr/bin/env bash
# Distribution compatibility: Debian's own nginx package loads the module built
# the way docs/building.md tells an operator to build it, and a visitor's journey
# runs through it.
#
#   1. installs Debian's `nginx` package if it is missing, without letting it
#      start its service;
#   2. fetches the sources of the release it runs (scripts/fetch-nginx.sh);
#   3. builds the module against them with the arguments that `nginx -V`
#      shows, less the modules that Debian builds as modules of their own
#      (scripts/build-for-nginx.sh, as `make NGINX_SRC=... NGINX_BIN=...`);
#   4. runs tests/integration/test_outcome.py::test_a_visitors_journey with
#      /usr/sbin/nginx and that .so.
#
# Needs root to install the package.  The journey's nginx reads a data file of
# its own in its pytest prefix, as every integration test's does: the host's
# /tmp/vantorell-data.json is not touched and no lock is taken.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
nginx=/usr/sbin/nginx
pidfile=/run/nginx.pid          # Debian's --pid-path

say() { echo "debian-nginx-check: $*"; }

running_pid() {
  local pid
  pid=$(cat "$pidfile" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then echo "$pid"; fi
}

listening_on_80() { ss -Hltn 'sport = :80' 2>/dev/null || true; }

# ---- 1. the package, and no service left running ---------------------------

if ! dpkg-query -W -f='${Status}' nginx 2>/dev/null | grep -q 'install ok installed'; then
  if [ "$(id -u)" -ne 0 ]; then
    say "Debian's nginx package is not installed; run as root to install it" >&2
    exit 1
  fi
  before_pid=$(running_pid)
  before_80=$(listening_on_80)

  # invoke-rc.d and deb-systemd-invoke ask policy-rc.d before starting a
  # service; 101 means "not now".  One that is already there is left alone.
  policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\n# debian-nginx-check: no service starts while nginx installs\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
  fi

  say "installing Debian's nginx package"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nginx > "$build/debian-nginx-install.log" 2>&1 \
    || { tail -n 30 "$build/debian-nginx-install.log"; exit 1; }

  if [ -n "$policy" ]; then rm -f "$policy"; trap - EXIT; fi

  # Should the service have started anyway, stop the one the install started.
  pid=$(running_pid)
  if [ -n "$pid" ] && [ "$pid" != "$before_pid" ]; then
    say "the package started nginx (pid $pid); stopping it"
    kill -QUIT "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  fi
  if [ -z "$before_80" ] && [ -n "$(listening_on_80)" ]; then
    say "something listens on port 80 since the install:" >&2
    listening_on_80 >&2
    exit 1
  fi
fi

# ---- 2. the sources of the release Debian's nginx runs ----------------------

version=$("$nginx" -v 2>&1 | sed -n 's#^nginx version: nginx/\([0-9.]*\).*#\1#p')
[ -n "$version" ] || { say "cannot tell the version of $nginx" >&2; exit 1; }
say "Debian's nginx is $version ($(dpkg-query -W -f='${Version}' nginx))"
bash "$top/scripts/fetch-nginx.sh" "$version" "$build"
src="$build/nginx-$version-src"

# ---- 3. configure as Debian did, build the module ---------------------------

# as an operator does it (make NGINX_SRC=... NGINX_BIN=...): the arguments
# that `nginx -V` shows, less the modules Debian builds as modules of their
# own; the script also checks that this nginx loads the result
bash "$top/scripts/build-for-nginx.sh" "$src" "$build" "$nginx"
module="$build/custom-$version/ngx_http_vantorell_module.so"

# ---- 4. the journey, through Debian's binary --------------------------------

cd "$top"
VANTORELL_NGINX="$nginx" VANTORELL_MODULE="$module" \
  /usr/bin/python3 -m pytest -q tests/integration/test_outcome.py::test_a_visitors_journey
