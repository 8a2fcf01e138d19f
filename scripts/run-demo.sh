#!/usr/bin/env bash
# Runs the demo: the built nginx with the module (build/nginx, nginx 1.18.0, unless
# VANTORELL_NGINX and VANTORELL_MODULE name another build), examples/nginx.conf.in
# and the small upstream in examples/upstream.py, on 127.0.0.1.  Ctrl-C stops it.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
prefix="$top/build/demo"
nginx="${VANTORELL_NGINX:-$top/build/nginx/sbin/nginx}"
module="${VANTORELL_MODULE:-$top/build/nginx/modules/ngx_http_vantorell_module.so}"
data=/tmp/vantorell-data.json
example="$top/examples/vantorell-data.json"
stamp="$prefix/data-file.sha256"      # what the demo last wrote to $data

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", int(__import__("sys").argv[1]))); print(s.getsockname()[1])' "$1" 2>/dev/null \
    || /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

mkdir -p "$prefix/logs"
port=$(free_port "${DEMO_PORT:-8080}")
upstream_port=$(free_port 0)

# The data file is shared with whatever else runs on this host: only replace
# one that is missing or that this demo wrote itself.
if [ ! -e "$data" ]; then
  install -m 0644 "$example" "$data"
  echo "demo: wrote the example data file to $data"
elif cmp -s "$example" "$data"; then
  echo "demo: $data already holds the example data"
elif [ -f "$stamp" ] && sha256sum -c --status "$stamp" 2>/dev/null; then
  install -m 0644 "$example" "$data"
  echo "demo: replaced the data file that an earlier demo wrote in $data"
else
  echo "demo: $data exists and was not written by the demo; left as it is"
fi
sha256sum "$data" > "$stamp" 2>/dev/null || true
cmp -s "$example" "$data" || rm -f "$stamp"

sed -e "s#@MODULE@#$module#" -e "s#@PREFIX@#$prefix#" \
    -e "s#@PORT@#$port#" -e "s#@UPSTREAM_PORT@#$upstream_port#" \
    "$top/examples/nginx.conf.in" > "$prefix/nginx.conf"

/usr/bin/python3 "$top/examples/upstream.py" "$upstream_port" &
upstream_pid=$!
nginx_pid=

cleanup() {
  trap - INT TERM EXIT
  [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  kill "$upstream_pid" 2>/dev/null && wait "$upstream_pid" 2>/dev/null
  echo
  echo "demo: stopped"
}
trap cleanup INT TERM EXIT

"$nginx" -p "$prefix" -c "$prefix/nginx.conf" &
nginx_pid=$!

cat <<TXT

vantorell demo: nginx $("$nginx" -v 2>&1 | sed 's#.*/##') with the module, on http://127.0.0.1:$port/

  curl -i http://127.0.0.1:$port/promo?from=mail   experiment 101: a new visitor, a cookie, a variation page
                                                   (X-Vantorell-Experiments shows \$vantorell_experiments)
  curl -i http://127.0.0.1:$port/shop              experiment 202: the upstream renders by the experiments header
  curl -i http://127.0.0.1:$port/about             no experiment targets it
  curl -i -H 'Cookie: vantorellVisitorCode=abcdefghijklmnop' http://127.0.0.1:$port/promo
                                                   a returning visitor keeps its variation
  curl -i -H 'Cookie: vantorellVisitorCode=abcdefghijklmnop' 'http://127.0.0.1:$port/promo?vantorell_force=101=1'
                                                   QA preview: variation 1 of experiment 101, forced;
                                                   the cookie stays the visitor's (from 127.0.0.1 only:
                                                   a geo gate in build/demo/nginx.conf)

  The guardrail: variation 2 of experiment 101 fails half its requests with ?broken=1;
    for i in \$(seq 1500); do curl -s -o /dev/null 'http://127.0.0.1:$port/promo?broken=1'; done
  and the status page shows it stopped (error.log: "variation 2 stopped"); new weights in the
  data file give it back.

  The counters (every worker's): curl -s http://127.0.0.1:$port/vantorell/status | /usr/bin/python3 -m json.tool
  The same for Prometheus:       curl -s http://127.0.0.1:$port/metrics
  The same for a browser:        http://127.0.0.1:$port/vantorell/status.html?refresh=10
  Who saw what (the variables):  tail -f $prefix/exposure.log
  The module's log lines:        tail -f $prefix/error.log
  Lint the data file:            $top/build/bin/vantorell-check lint $data
  Why a visitor got a variation: $top/build/bin/vantorell-check explain $data /promo --host 127.0.0.1 --cookie 'vantorellVisitorCode=abcdefghijklmnop'
  ... and the QA preview above:  $top/build/bin/vantorell-check explain $data '/promo?vantorell_force=101=1' --host 127.0.0.1 --cookie 'vantorellVisitorCode=abcdefghijklmnop' --force 101=1
  Ctrl-C stops the demo.

TXT

wait "$nginx_pid"
