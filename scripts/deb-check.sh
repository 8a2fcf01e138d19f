#!/usr/bin/env bash
# The packages of `make deb` on this machine's own nginx: installs them with
# apt, checks that the module is enabled and that `nginx -t` passes, takes a
# visitor through the installed nginx and module (the journey of
# scripts/debian-nginx-check.sh, then a real nginx that loads the module the
# way /etc/nginx/nginx.conf does, through modules-enabled, across a reload),
# checks the tool against what that nginx did, removes the module's package
# (nginx's configuration must still test good and an nginx must still start),
# purges it (nothing of it left), purges what apt installed for it, and leaves
# the machine's nginx configuration as it found it.  Root only; starts no
# service: policy-rc.d says "not now" to the package's reload trigger, and the
# nginx started here has a configuration, port, pid file and logs of its own
# in a temporary folder.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deb="$top/build/deb"
pkgs=(libnginx-mod-http-vantorell vantorell-check)
so=/usr/lib/nginx/modules/ngx_http_vantorell_module.so
enabled=/etc/nginx/modules-enabled/50-mod-http-vantorell.conf
available=/usr/share/nginx/modules-available/mod-http-vantorell.conf
example=/usr/share/doc/libnginx-mod-http-vantorell/examples/vantorell-data.json
say() { echo "deb-check: $*"; }
fail() { say "FAIL: $*" >&2; exit 1; }
# installed, or removed with its configuration left
present() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qv '^not-installed$'; }

[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and removes packages"
for p in "${pkgs[@]}"; do
  if present "$p"; then
    fail "$p is already installed here; this check would change what the operator has"
  fi
done
module_deb=$(ls "$deb"/libnginx-mod-http-vantorell_*.deb 2>/dev/null | head -n 1)
tool_deb=$(ls "$deb"/vantorell-check_*.deb 2>/dev/null | head -n 1)
[ -n "$module_deb" ] && [ -n "$tool_deb" ] || fail "no packages in $deb: run make deb first"

# what nginx's configuration looks like now, to compare at the end, and which
# packages are installed: apt may pull in nginx itself for the module's ABI
snapshot() { [ ! -d /etc/nginx ] || find /etc/nginx -printf '%p %y %m %l\n' | sort; }
installed() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' | sort; }
before=$(snapshot)
packages_before=$(installed)
pulled_in=

run=$(mktemp -d /tmp/vantorell-deb-check.XXXXXX)
chmod 755 "$run"           # the workers (nobody) read the data file and pages
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

policy=
cleanup() {
  # a failed step must not leave an nginx running or the packages behind
  stop_nginx 2> /dev/null || true
  for p in "${pkgs[@]}"; do
    if present "$p"; then
      dpkg --purge "$p" > /dev/null 2>&1 || true
    fi
  done
  [ -z "$pulled_in" ] || apt-get purge -y -qq $pulled_in > /dev/null 2>&1 || true
  [ -z "$policy" ] || rm -f "$policy"
  rm -rf "$run"
}
trap cleanup EXIT
if [ ! -e /usr/sbin/policy-rc.d ]; then
  policy=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\n# deb-check: no service starts or reloads while packages change\nexit 101\n' > "$policy"
  chmod 755 "$policy"
fi

# ---- an nginx of this check's own, configured as an operator would --------
# It loads its modules as Debian's nginx.conf does, from modules-enabled, so
# the link the package made is what loads the module.  With "on" its server
# runs the example data file's experiments over static pages.
write_conf() {
  local module=$1
  mkdir -p "$run/html" "$run/temp"
  printf 'page %s\n' promo > "$run/html/promo"
  printf 'variation %s\n' 1 > "$run/html/experiment_101_variation_1"
  printf 'variation %s\n' 2 > "$run/html/experiment_101_variation_2"
  # the example data file the package ships, while it is installed
  if [ "$module" = on ]; then
    cp "$example" "$run/data.json"
  fi
  chmod -R a+rX "$run"
  {
    echo "include /etc/nginx/modules-enabled/*.conf;"
    echo "worker_processes 1;"
    echo "pid $run/nginx.pid;"
    echo "error_log $run/error.log notice;"
    echo "events { worker_connections 64; }"
    echo "http {"
    echo "  access_log off;"
    for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $run/temp/$t;"; done
    echo "  server {"
    echo "    listen 127.0.0.1:$port;"
    echo "    root $run/html;"
    if [ "$module" = on ]; then
      echo "    vantorell_module on;"
      echo "    vantorell_data_file $run/data.json;"
    fi
    echo "  }"
    echo "}"
  } > "$run/nginx.conf"
}

nginx_pid() { cat "$run/nginx.pid" 2> /dev/null || true; }
worker_pids() { pgrep -P "$(nginx_pid)" | sort | tr '\n' ' '; }

start_nginx() {
  nginx -c "$run/nginx.conf" || fail "nginx did not start: $(tail -n 5 "$run/error.log" 2> /dev/null)"
  for _ in $(seq 100); do
    [ -n "$(worker_pids)" ] && curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
    sleep 0.1
  done
  fail "nginx started but does not answer on 127.0.0.1:$port"
}

stop_nginx() {
  local pid
  pid=$(nginx_pid)
  [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null || return 0
  kill -QUIT "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2> /dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid"
  fail "nginx did not stop on QUIT"
}

# the body of a page, with the cookie jar; fails on anything but a 200
page() {
  local status
  status=$(curl -s -o "$run/body" -w '%{http_code}' -b "$run/jar" -c "$run/jar" \
             "http://127.0.0.1:$port$1") || fail "curl $1"
  [ "$status" = 200 ] || fail "$1 answered $status"
  cat "$run/body"
}

no_alarm_in_log() {
  ! grep -E '\[(alert|crit|emerg)\]' "$run/error.log" || fail "the error log has the lines above"
}

export DEBIAN_FRONTEND=noninteractive

say "installing $(basename "$module_deb") and $(basename "$tool_deb")"
apt-get install -y -qq --no-install-recommends "$module_deb" "$tool_deb" > "$deb/check-install.log" 2>&1 \
  || { tail -n 30 "$deb/check-install.log"; fail "apt-get install"; }

pulled_in=$(comm -13 <(echo "$packages_before") <(installed) | grep -vxF -e "${pkgs[0]}" -e "${pkgs[1]}" | tr '\n' ' ' || true)
[ -z "$pulled_in" ] || say "apt installed for them: $pulled_in (purged at the end)"

# apt must refuse the module with any other nginx: it depends on the ABI that
# this nginx provides, and on no other
abi=$(dpkg-query -W -f='${Provides}' nginx | grep -o 'nginx-abi-[^ ,]*' || true)
[ -n "$abi" ] || fail "the installed nginx provides no nginx-abi-*"
[ "$(dpkg-deb -f "$module_deb" Depends | grep -o 'nginx-abi-[^ ,]*')" = "$abi" ] \
  || fail "$(basename "$module_deb") does not depend on $abi alone: $(dpkg-deb -f "$module_deb" Depends)"

[ -f "$so" ] || fail "$so is missing"
[ "$(readlink "$enabled")" = "$available" ] || fail "$enabled does not link to $available"
nginx -t -q || fail "nginx -t with the module enabled"
# from a file: grep -q would stop reading at the line, and nginx, still
# writing the rest of its configuration, would die of SIGPIPE and fail the
# pipeline
nginx -T > "$run/nginx-T" 2> /dev/null || fail "nginx -T"
grep -q '^load_module modules/ngx_http_vantorell_module.so;' "$run/nginx-T" \
  || fail "nginx -T does not show the module's load_module"
vantorell-check --help > /dev/null 2>&1 || vantorell-check 2>&1 | grep -q 'vantorell-check' \
  || fail "vantorell-check does not run"
man -w vantorell-check > /dev/null || fail "no manual page for vantorell-check"
[ -f "$example" ] || fail "the package has no example data file at $example"

say "a visitor through /usr/sbin/nginx and the installed module"
(cd "$top" && VANTORELL_NGINX=/usr/sbin/nginx VANTORELL_MODULE="$so" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/integration/test_outcome.py::test_a_visitors_journey) \
  || fail "the visitor's journey"

say "a visitor through an nginx that loads the module from modules-enabled, across a reload"
write_conf on
start_nginx
first=$(page /promo)
case "$first" in
  "variation 1"|"variation 2") ;;
  *) fail "/promo answered \"$first\", not a variation of experiment 101" ;;
esac
code=$(awk '$6 == "vantorellVisitorCode" {print $7}' "$run/jar")
[ ${#code} -eq 16 ] || fail "no visitor code cookie after /promo (cookie: \"$code\")"
workers=$(worker_pids)
nginx -c "$run/nginx.conf" -s reload || fail "nginx -s reload"
for _ in $(seq 100); do
  now=$(worker_pids)
  [ -n "$now" ] && [ "$now" != "$workers" ] && break
  sleep 0.1
done
[ "$(worker_pids)" != "$workers" ] || fail "the reload started no new worker"
again=$(page /promo)
[ "$again" = "$first" ] || fail "after the reload the visitor saw \"$again\", before \"$first\""
[ "$(awk '$6 == "vantorellVisitorCode" {print $7}' "$run/jar")" = "$code" ] \
  || fail "the visitor's code changed across the reload"
say "visitor $code saw \"$first\" before and after the reload"

# Browsers send the site's other cookies in the same header, and a client may
# split them over several Cookie lines: the visitor is still the same one,
# with the same variation and the same code in the refreshed cookie.
# One case per line; a case of several lines is several Cookie headers.
say "the visitor's code among other cookies"
cases=("a=1; vantorellVisitorCode=$code; b=2"
       "a=1; b=2; vantorellVisitorCode=$code"
       "vantorellVisitorCode=$code; a=1"
       "a=1"$'\n'"vantorellVisitorCode=$code; b=2")
for cookies in "${cases[@]}"; do
  mapfile -t lines <<< "$cookies"
  headers=()
  for line in "${lines[@]}"; do headers+=(-H "Cookie: $line"); done
  status=$(curl -s -o "$run/body" -D "$run/headers" -w '%{http_code}' "${headers[@]}" \
             "http://127.0.0.1:$port/promo") || fail "curl /promo with Cookie: ${lines[*]}"
  [ "$status" = 200 ] || fail "/promo with Cookie: ${lines[*]} answered $status"
  [ "$(cat "$run/body")" = "$first" ] \
    || fail "with Cookie: ${lines[*]} the visitor saw \"$(cat "$run/body")\", before \"$first\""
  set_code=$(sed -n 's/^[Ss]et-[Cc]ookie: vantorellVisitorCode=\([^;]*\).*/\1/p' "$run/headers" | tr -d '\r')
  [ "$set_code" = "$code" ] || fail "with Cookie: ${lines[*]} the visitor's cookie became \"$set_code\", not $code"
done
no_alarm_in_log
stop_nginx

say "vantorell-check agrees with the installed nginx"
# the example's second experiment has weights summing to 0.67: a warning
status=0
vantorell-check lint "$run/data.json" > "$run/lint.txt" || status=$?
[ "$status" -eq 1 ] || { cat "$run/lint.txt"; fail "lint of the example exited $status, not 1 (warnings)"; }
location=$(vantorell-check explain "$run/data.json" http://127.0.0.1/promo --code "$code" --format json |
             python3 -c 'import json, sys; print(json.load(sys.stdin)["location"])') \
  || fail "vantorell-check explain"
[ "$location" = "/experiment_101_variation_${first#variation }" ] \
  || fail "explain sends $code to \"$location\", nginx served \"$first\""

say "removing the module's package"
apt-get remove -y -qq "${pkgs[@]}" > "$deb/check-remove.log" 2>&1 \
  || { tail -n 30 "$deb/check-remove.log"; fail "apt-get remove"; }
[ ! -e "$so" ] || fail "$so is still there after remove"
nginx -t -q || fail "nginx -t after the module's package was removed"
say "nginx starts and serves without the module"
write_conf off
start_nginx
[ "$(page /promo)" = "page promo" ] || fail "without the module /promo is not the page itself"
no_alarm_in_log
stop_nginx

say "purging"
# apt knows a package of a local file only while it is installed: dpkg purges
dpkg --purge "${pkgs[@]}" > "$deb/check-purge.log" 2>&1 \
  || { tail -n 30 "$deb/check-purge.log"; fail "dpkg --purge"; }
for p in "${pkgs[@]}"; do ! present "$p" || fail "$p is still known to dpkg after purge"; done
if [ -n "$pulled_in" ]; then
  say "purging what apt installed for them"
  apt-get purge -y -qq $pulled_in > "$deb/check-purge-deps.log" 2>&1 \
    || { tail -n 30 "$deb/check-purge-deps.log"; fail "apt-get purge $pulled_in"; }
  pulled_in=
fi
left=$(find /etc/nginx /usr/lib/nginx /usr/share/nginx /usr/bin /usr/share/man/man1 \
         /usr/share/doc \( -name '*vantorell*' \) -print 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
[ "$(snapshot)" = "$before" ] || { diff <(echo "$before") <(snapshot) >&2 || true; fail "/etc/nginx differs from before"; }
say "ok"
