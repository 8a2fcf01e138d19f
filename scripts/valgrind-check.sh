#!/usr/bin/env bash
# Runs nginx with the module under valgrind (one process, no master) and sends
# it a mix of requests through every stage of the handler and every data file
# problem.  Fails on any memory error and on any block definitely lost.
# Usage: valgrind-check.sh   (after make; writes to /tmp/vantorell-data.json)
# VANTORELL_NGINX and VANTORELL_MODULE name another build than build/nginx.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
nginx="${VANTORELL_NGINX:-$top/build/nginx/sbin/nginx}"
module="${VANTORELL_MODULE:-$top/build/nginx/modules/ngx_http_vantorell_module.so}"
prefix="$top/build/valgrind"
data=/tmp/vantorell-data.json
port=$(/usr/bin/python3 "$top/tests/support/vantorell_harness.py" free-port)

rm -rf "$prefix" && mkdir -p "$prefix/logs" "$prefix/html"
echo page > "$prefix/html/index.html"
for p in page shop experiment_1_variation_2 experiment_2_variation_5; do echo "$p" > "$prefix/html/$p"; done

# the data file's path is fixed: take turns with test suites running elsewhere
exec 9>/tmp/vantorell-tests.lock
flock 9

backup=
if [ -e "$data" ]; then backup=$(mktemp); cp -p "$data" "$backup"; fi
restore() {
  if [ -n "$backup" ]; then cp -p "$backup" "$data"; rm -f "$backup"; else rm -f "$data"; fi
}

cat > "$prefix/nginx.conf" <<CONF
load_module $module;
master_process off;
daemon off;
error_log $prefix/error.log debug;
pid $prefix/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    vantorell_metrics_zone 1m;
    log_format exposure '\$vantorell_visitor_code \$vantorell_visitor_new "\$vantorell_experiments" '
                        '\$vantorell_experiment \$vantorell_variation \$status \$uri';
    server {
        listen 127.0.0.1:$port;
        server_name alpha;
        vantorell_module on;
        vantorell_experiments_header on;
        vantorell_cookie_domain \$arg_d;
        vantorell_cookie_flags secure httponly samesite=lax;
        vantorell_cookie_expires 30d;
        vantorell_visitor_id \$http_x_account;
        vantorell_force \$arg_f;
        access_log $prefix/exposure.log exposure;
        add_header X-Experiments \$vantorell_experiments always;
        add_header X-Client \$http_vantorell_experiment always;
        root $prefix/html;
        location / { try_files \$uri \$uri/ =404; }
        location /skip { vantorell_ignore true; try_files /page =404; }
        location = /status { vantorell_status; }
        location = /metrics { vantorell_status prometheus; }
    }
}
CONF

# a data file whose pattern does not compile, for nginx's own reading of it at
# start-up and for the first requests
trap restore EXIT
bad_pattern='[{"baseUrl":"b","experimentId":1,"targetingConfiguration":"P","variations":[],"conditionsData":[{"orOperator":"|","conditions":[{"orOperator":"|","id":1,"url":"(","matchType":"R","include":"Y"}]}]}]'
printf '%s' "$bad_pattern" > "$data"; chmod 644 "$data"

valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible,reachable --errors-for-leak-kinds=definite \
  --error-exitcode=99 --suppressions="$top/scripts/valgrind.supp" --log-file="$prefix/valgrind.log" \
  "$nginx" -p "$prefix" -c "$prefix/nginx.conf" &
vg=$!
trap 'kill -9 $vg 2>/dev/null || true; restore' EXIT

for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.2
done

get() { curl -s -o /dev/null --max-time 10 -H 'Host: alpha' "$@" || true; }
experiments='[
 {"baseUrl":"b","experimentId":1,"targetingConfiguration":"P",
  "variations":[{"redirection":"r1","id":2,"weight":0.5},{"redirection":"r2","id":3,"weight":0.5}],
  "conditionsData":[{"orOperator":"|","conditions":[
    {"orOperator":"|","id":1,"url":"page","matchType":"C","include":"Y"},
    {"orOperator":"&","id":2,"url":"^alpha/(page|shop)","matchType":"R","include":"Y"}]}]},
 {"baseUrl":"b","experimentId":2,"targetingConfiguration":"S",
  "variations":[{"redirection":"r","id":5,"weight":1}],
  "conditionsData":[{"orOperator":"|","conditions":[
    {"orOperator":"|","id":3,"url":"alpha/shop","matchType":"E","include":"Y"}]}]}]'

# the client's own experiments headers, dropped in runs that cut across
# nginx's parts of 20 request headers
client_headers=()
for i in $(seq 60); do
  case $i in
    5|30|31|50) client_headers+=(-H "X-Other-$i: $i") ;;
    *) client_headers+=(-H "Vantorell-Experiment: 2=$i") ;;
  esac
done

run_requests() {
  get "http://127.0.0.1:$port/page?a=1"
  get "http://127.0.0.1:$port/page" -H 'Cookie: vantorellVisitorCode=abcdefghijklmnop'
  get "http://127.0.0.1:$port/page" -H 'Cookie: vantorellVisitorCode=_js_0123456789abcdef'
  get "http://127.0.0.1:$port/shop?d=example.test" -H 'Cookie: x=1' -H 'Cookie: vantorellVisitorCode=short'
  get "http://127.0.0.1:$port/other"
  get "http://127.0.0.1:$port/skip"
  get "http://127.0.0.1:$port/page" -H 'vantorell-triggered: true'
  get "http://127.0.0.1:$port/page" -H 'vantorell-triggered: no'
  get "http://127.0.0.1:$port/page" "${client_headers[@]}"
  get "http://127.0.0.1:$port/shop" -H 'vantorell-experiment: 2=5' -H 'If-Match: "nope"'
  get "http://127.0.0.1:$port/status"
  get "http://127.0.0.1:$port/metrics"
  get -X POST "http://127.0.0.1:$port/metrics"
  get "http://127.0.0.1:$port/page?f=1=3,2=5,9=9,1=7" -H 'X-Account: user-42'
  get "http://127.0.0.1:$port/shop?f=1=2,," -H 'X-Account: \xff long account id'
}

run_requests
printf '%s' "$experiments" > "$data"; chmod 644 "$data"
for _ in 1 2 3; do run_requests; done
for content in '' '[' 'null' '[]' '{"a":1}' '[1,2]' \
    '[{"baseUrl":"b","experimentId":1,"targetingConfiguration":"P","variations":"x","conditionsData":[]}]' \
    '[{"baseUrl":"b","experimentId":1,"targetingConfiguration":"P","variations":[],"conditionsData":[{"orOperator":"|","conditions":[{"orOperator":"|","id":1,"url":"(","matchType":"R","include":"Y"}]}]}]' \
    '[{"baseUrl":"b","experimentId":1,"targetingConfiguration":"X","variations":[],"conditionsData":[]}]'; do
  printf '%s' "$content" > "$data"
  run_requests
done
rm -f "$data"
run_requests

# Under valgrind the quit signal may wait until the event loop wakes up:
# poke it with a request until nginx has gone, for at most 30 seconds.
kill -QUIT $vg
for _ in $(seq 150); do
  kill -0 $vg 2>/dev/null || break
  curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/skip" || true
  sleep 0.2
done
if kill -0 $vg 2>/dev/null; then
  echo "valgrind-check: nginx did not exit"
  exit 1
fi
status=0
wait $vg || status=$?
trap restore EXIT

if [ "$status" -ne 0 ]; then
  cat "$prefix/valgrind.log"
  echo "valgrind-check: FAILED (exit $status)"
  exit 1
fi
# a worker that exits releases the models it cached: none of them may still
# be reachable when nginx is gone
if grep -q -E 'acquireModel|ModelCache|FileWatch|buildModel|experimentConfigsFromText|CompiledPatterns|UrlMemo|workerFile|workerExperiment' \
     "$prefix/valgrind.log"; then
  cat "$prefix/valgrind.log"
  echo "valgrind-check: FAILED (the worker's model cache or its counters' places outlived it)"
  exit 1
fi
grep -c 'Random generated number' "$prefix/error.log" | sed 's/^/valgrind-check: requests assigned a variation: /'
grep -vc '^- ' "$prefix/exposure.log" | sed 's/^/valgrind-check: access-log lines with the variables: /'
echo "valgrind-check: no memory errors, nothing definitely lost, the model cache released at exit"
