#!/usr/bin/env python3
"""Soak: a million requests at one nginx worker while the data file keeps
changing under it and nginx reloads.

  - wrk (scripts/soak/soak.lua) sends targeted, untargeted, new and returning
    visitors' requests; each page and each variation location is a static
    file that holds its own name, so every response says which one answered.
  - Every 100 ms the data file is rewritten, alternately in place (truncated,
    then written in two pieces, so a worker may read it empty or half
    written) and by renaming a complete file over it, cycling through three
    valid variants and a broken one.  The valid variants send /always to a
    variation location of their own, so the responses show each of them in
    effect; with the broken one (or a half-written file) the module leaves
    the request alone and /always answers with its own page.
  - nginx is reloaded (SIGHUP) a few times while the load runs.
  - The workers' memory (VmRSS) is sampled throughout; reloads replace the
    worker, and each worker is judged on its own.
  - A metrics zone counts every request, across the reloads (its size stays
    the same); after the run the requests it counted must be the requests
    sent, give or take those that a reload or wrk's stop cut off.

It fails on a worker that dies or an [alert], [crit] or [emerg] in the error
log, on any status but 200, on a response from a page that no variant can
produce, on a variant never seen in effect, on a timeout, and on a worker
whose memory grows by more than --rss-bound after its warm-up.  Requests cut
off by a reload (nginx closes idle keep-alive connections of the old worker)
show as wrk socket errors; a few per reload and connection are expected and
counted, no more.

The data file path is fixed (/tmp/vantorell-data.json) and shared with the
test suites: the soak takes their lock, keeps a copy of any existing file and
puts it back at the end.  Everything else lives in build/soak/.  Only
127.0.0.1 is used.  The run ends once every wrk thread has sent its share of
the requests, and at --max-seconds at the latest.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import http.client
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/support"))
import vantorell_harness  # noqa: E402
from vantorell_harness import (DATA_FILE, FAILURE_MARKS, LOCK_FILE, MODULE, NGINX,  # noqa: E402
                               ROOT, SANITIZER_MARKS, DataFileLock, NginxDidNotStart, cond,
                               free_port, group, start_nginx)

LUA = Path(__file__).resolve().parent / "soak.lua"
OUT = ROOT / "build/soak"


def log(*args):
    print("soak:", *args, flush=True)


# ---- data file variants -------------------------------------------------------

def experiment(eid, groups, variations, letter="P"):
    """variations: (id, weight) pairs."""
    return vantorell_harness.experiment(
        eid, groups, [vantorell_harness.variation(vid, w, "http://alpha/v%d" % vid)
                      for vid, w in variations], letter, base="http://alpha/")


def fillers(n, first):
    """Experiments that target no page of the soak: they make the file long
    enough to be caught half written, and the model worth caching."""
    return [experiment(first + i, [group(cond("alpha/never-%d" % i),
                                         cond("^alpha/nowhere/%d$" % i, match="R", op="|"))],
                       [(1, 0.5), (2, 0.5)])
            for i in range(n)]


VARIANTS = {
    # every visitor of /always goes to variation 1 of 11, 12 or 13: the variant
    # in effect, seen from outside
    "A": [experiment(11, [group(cond("alpha/always"))], [(1, 1.0)]),
          experiment(101, [group(cond("alpha/promo"))], [(1, 0.5), (2, 0.5)]),
          experiment(202, [group(cond("^alpha/shop/[0-9]+$", match="R"))], [(5, 0.3)])]
         + fillers(40, 1000),
    "B": [experiment(12, [group(cond("alpha/always"))], [(1, 1.0)]),
          experiment(303, [group(cond("alpha/promo"))], [(3, 1.0)]),
          # /shop/2 left out: an excluding condition joined with "&"
          experiment(202, [group(cond("alpha/shop"),
                                 cond("alpha/shop/2", match="E", include="N", op="&", cid=2))],
                     [(5, 0.3)], letter="S")]
         + fillers(80, 2000),
    "C": [experiment(0, [group(cond("alpha"))], [(9, 1.0)]),          # id 0: never targeted
          experiment(13, [group(cond("alpha/always", match="E"))], [(1, 1.0)]),
          experiment(404, [group(cond("^alpha/(promo|shop/1)", match="R"))],
                     [(4, 0.6), (6, 0.4)], letter="U")]
         + fillers(10, 3000),
}
TEXTS = {name: json.dumps(v, indent=1).encode() for name, v in VARIANTS.items()}
# a file cut in the middle of an experiment: not JSON
TEXTS["broken"] = TEXTS["A"][: len(TEXTS["A"]) // 2]
ORDER = ["A", "B", "broken", "C"]

PAGES = ["index.html", "about", "always", "promo", "news", "shop/1", "shop/2", "shop/3"]
# variation location -> the variant whose experiments lead there
VARIATIONS = {
    "experiment_11_variation_1": "A", "experiment_101_variation_1": "A",
    "experiment_101_variation_2": "A", "experiment_202_variation_5": "A or B",
    "experiment_12_variation_1": "B", "experiment_303_variation_3": "B",
    "experiment_13_variation_1": "C", "experiment_404_variation_4": "C",
    "experiment_404_variation_6": "C",
}


def page_name(page):
    return "page-" + ("index" if page == "index.html" else page)


# ---- nginx --------------------------------------------------------------------

CONF = """\
{user}
load_module {module};
worker_processes 1;
daemon off;
master_process on;
error_log {prefix}/error.log warn;
pid {prefix}/nginx.pid;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    # nginx frees what a connection gathers only when the connection closes:
    # with endless keep-alive the worker grows whatever the module does
    keepalive_requests 100;
    client_body_temp_path {prefix}/tmp;
    proxy_temp_path {prefix}/tmp;
    fastcgi_temp_path {prefix}/tmp;
    uwsgi_temp_path {prefix}/tmp;
    scgi_temp_path {prefix}/tmp;
    default_type text/plain;
    vantorell_metrics_zone 1m;
    server {{
        listen 127.0.0.1:{status_port};
        location = /status {{ vantorell_status; }}
    }}
    server {{
        listen 127.0.0.1:{port};
        server_name alpha;
        vantorell_module on;
        vantorell_experiments_header on;
        root {prefix}/html;
        location / {{ }}
        location ~ ^/experiment_\\d+_variation_\\d+$ {{ }}
    }}
}}
"""


def write_docroot(prefix):
    html = prefix / "html"
    for page in PAGES:
        (html / page).parent.mkdir(parents=True, exist_ok=True)
        (html / page).write_text(page_name(page) + "\n")
    for name in VARIATIONS:
        (html / name).write_text(name + "\n")


def get(port, path, cookie=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Host": "alpha"}
    if cookie:
        headers["Cookie"] = cookie
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    body = r.read().decode(errors="replace").split("\n")[0]
    conn.close()
    return r.status, body


def children(pid):
    """The master's children with their titles: the workers."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            pids = [int(p) for p in f.read().split()]
    except OSError:
        return []
    out = []
    for p in pids:
        try:
            with open("/proc/%d/cmdline" % p, "rb") as f:
                title = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            out.append((p, title))
        except OSError:
            pass
    return out


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def stop_nginx(nginx):
    """After a failure: the master and its workers, whatever state they are in."""
    workers = [p for p, _ in children(nginx.pid)]
    nginx.terminate()
    try:
        nginx.wait(timeout=10)
    except subprocess.TimeoutExpired:
        nginx.kill()
        nginx.wait()
    for p in workers:
        try:
            os.kill(p, signal.SIGKILL)
        except ProcessLookupError:
            pass


# ---- the moving parts -----------------------------------------------------------

class Rewriter(threading.Thread):
    """Rewrites the data file every interval: in place and by rename by turns,
    each variant of ORDER in both ways over time."""

    def __init__(self, interval):
        super().__init__(daemon=True)
        self.interval = interval
        self.stop_event = threading.Event()
        self.count = 0
        self.in_place = 0
        self.renamed = 0
        self.by_variant = {name: 0 for name in ORDER}
        self.error = None

    def write(self, n):
        name = ORDER[(n // 2) % len(ORDER)]
        text = TEXTS[name]
        if n % 2 == 0:
            fd = os.open(DATA_FILE, os.O_WRONLY | os.O_TRUNC | os.O_CREAT, 0o644)
            try:
                half = len(text) // 2
                os.write(fd, text[:half])
                os.write(fd, text[half:])
            finally:
                os.close(fd)
            self.in_place += 1
        else:
            tmp = DATA_FILE.with_name(DATA_FILE.name + ".soak-tmp")
            tmp.write_bytes(text)
            os.chmod(tmp, 0o644)
            os.replace(tmp, DATA_FILE)
            self.renamed += 1
        self.by_variant[name] += 1
        self.count += 1

    def run(self):
        n = 0
        next_at = time.monotonic()
        try:
            while not self.stop_event.is_set():
                self.write(n)
                n += 1
                next_at += self.interval
                self.stop_event.wait(max(0.0, next_at - time.monotonic()))
        except Exception as e:           # reported, and fails the run
            self.error = e


class WrkProgress(threading.Thread):
    """Reads wrk's output as it comes: the Lua script's progress lines."""

    def __init__(self, wrk):
        super().__init__(daemon=True)
        self.wrk = wrk
        self.lines = []
        self.per_thread = {}
        self.finished = 0

    def total(self):
        return sum(self.per_thread.values())

    def text(self):
        return "".join(self.lines)

    def run(self):
        for line in self.wrk.stdout:
            self.lines.append(line)
            parts = line.split()
            if len(parts) == 4 and parts[0] == "soak" and parts[1] in ("progress", "finished"):
                self.per_thread[parts[2]] = int(parts[3])
                if parts[1] == "finished":
                    self.finished += 1


class Sampler(threading.Thread):
    """VmRSS of the master and of every worker, several times a second."""

    def __init__(self, master, interval=0.2):
        super().__init__(daemon=True)
        self.master = master
        self.interval = interval
        self.stop_event = threading.Event()
        self.workers = {}      # pid -> list of (t, rss KiB, serving: not shutting down)
        self.master_rss = []

    def sample(self):
        t = time.monotonic()
        m = rss_kib(self.master)
        if m is not None:
            self.master_rss.append((t, m))
        for pid, title in children(self.master):
            if "worker process" not in title:
                continue
            r = rss_kib(pid)
            if r is not None:
                self.workers.setdefault(pid, []).append(
                    (t, r, "shutting down" not in title))

    def run(self):
        while not self.stop_event.is_set():
            self.sample()
            self.stop_event.wait(self.interval)
        self.sample()


# ---- figures ----------------------------------------------------------------------

def parse_wrk(text):
    r = {"status": {}, "body": {}, "summary": {}, "errors": {}, "latency": {}}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 4 and parts[0] == "soak" and parts[1] in r:
            r[parts[1]][parts[2]] = int(parts[3])
    return r


def judge_memory(sampler, load_start, load_end, warmup, bound_kib):
    """Each worker that served for longer than its warm-up: its RSS at the end
    of the warm-up, the largest after it and the growth in between."""
    verdicts = []
    for pid, samples in sampler.workers.items():
        serving = [(t, r) for t, r, ok in samples if ok and load_start <= t <= load_end]
        if not serving:
            continue
        began = serving[0][0]
        warm = [(t, r) for t, r in serving if t >= began + warmup]
        entry = {"pid": pid, "first": serving[0][1], "last": serving[-1][1],
                 "max": max(r for _, r in serving),
                 "served_s": round(serving[-1][0] - began, 1),
                 # one sample a second: (seconds into the load, KiB)
                 "timeline": [(round(t - load_start, 1), r) for i, (t, r) in enumerate(serving)
                              if i % max(1, int(1 / sampler.interval)) == 0]}
        if len(warm) >= 2:
            entry["after_warmup"] = warm[0][1]
            entry["growth"] = max(r for _, r in warm) - warm[0][1]
            entry["ok"] = entry["growth"] <= bound_kib
        verdicts.append(entry)
    return verdicts


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--requests", type=int, default=1_000_000)
    ap.add_argument("--max-seconds", type=int, default=300,
                    help="wrk's time bound: the run stops there even short of --requests")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--connections", type=int, default=32)
    ap.add_argument("--rewrite-ms", type=int, default=100)
    ap.add_argument("--reloads", type=int, default=4,
                    help="reloads, at even steps through the first half of the requests")
    ap.add_argument("--warmup", type=float, default=5.0,
                    help="seconds of a worker's life before its memory is its baseline")
    ap.add_argument("--rss-bound", type=int, default=1024,
                    help="KiB a worker may grow after its warm-up")
    args = ap.parse_args()

    # a soak stopped from outside still stops nginx and puts the data file back
    def interrupted(signum, frame):
        raise SystemExit("soak: stopped by signal %d" % signum)
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)

    if shutil.which("wrk") is None:
        sys.exit("soak: wrk is missing (scripts/bench/install-bench-deps.sh installs it)")
    for f in (NGINX, MODULE):
        if not f.exists():
            sys.exit("soak: %s is missing (make build)" % f)

    prefix = OUT
    shutil.rmtree(prefix, ignore_errors=True)
    (prefix / "tmp").mkdir(parents=True)
    write_docroot(prefix)
    port = free_port()
    status_port = free_port()
    user = "user root;" if os.geteuid() == 0 else ""
    conf = prefix / "nginx.conf"
    conf.write_text(CONF.format(user=user, module=MODULE, prefix=prefix, port=port,
                                status_port=status_port))

    lock = DataFileLock()
    log("waiting for the data file lock (%s)" % LOCK_FILE)
    lock.acquire()
    backup = None
    if DATA_FILE.exists() or DATA_FILE.is_symlink():
        backup = prefix / "data-file-backup"
        shutil.copy2(DATA_FILE, backup, follow_symlinks=False)

    nginx = wrk = None
    rewriter = sampler = None
    failures = []
    try:
        DATA_FILE.write_bytes(TEXTS["A"])
        os.chmod(DATA_FILE, 0o644)
        try:
            nginx = start_nginx(prefix, conf, [port, status_port], timeout=15)
        except NginxDidNotStart as e:
            raise RuntimeError(str(e))

        # the set-up takes the paths it is meant to before the load begins
        checks = (("/always", "experiment_11_variation_1"), ("/about", "page-about"),
                           ("/", "page-index"), ("/shop/3", None), ("/promo", None))
        for path, want in checks:
            status, body = get(port, path)
            if status != 200 or (want and body != want):
                raise RuntimeError("pre-check %s: %s %r" % (path, status, body))

        log("nginx %s, one worker on 127.0.0.1:%d; %d requests, %d threads, %d connections"
            % (NGINX, port, args.requests, args.threads, args.connections))

        rewriter = Rewriter(args.rewrite_ms / 1000.0)
        sampler = Sampler(nginx.pid)
        sampler.start()
        rewriter.start()

        per_thread = -(-args.requests // args.threads)
        wrk_cmd = ["wrk", "-t%d" % args.threads, "-c%d" % args.connections,
                   "-d%ds" % args.max_seconds, "--timeout", "10s", "--latency",
                   "-s", str(LUA), "http://127.0.0.1:%d/" % port, "--", str(per_thread)]
        load_start = time.monotonic()
        wrk = subprocess.Popen(wrk_cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
        progress = WrkProgress(wrk)
        progress.start()
        # reloads at even steps through the first half of the requests: the
        # last worker serves the second half, long enough to judge its memory
        reload_at = [args.requests * (i + 1) // (2 * args.reloads) for i in range(args.reloads)]
        reloads = 0
        interrupted = False
        while wrk.poll() is None:
            done = progress.total()
            if reloads < len(reload_at) and done >= reload_at[reloads]:
                os.kill(nginx.pid, signal.SIGHUP)
                reloads += 1
                log("reload %d (SIGHUP) after %d requests, %.1f s"
                    % (reloads, done, time.monotonic() - load_start))
            if not interrupted and progress.finished >= args.threads:
                wrk.send_signal(signal.SIGINT)     # wrk reports, then exits
                interrupted = True
            time.sleep(0.02)
        load_end = time.monotonic()
        progress.join()
        wrk_out = progress.text()

        rewriter.stop_event.set()
        sampler.stop_event.set()
        rewriter.join()
        sampler.join()

        # the worker has to be alive and well after all of it
        status, body = get(port, "/about")
        if status != 200 or body != "page-about":
            failures.append("after the load /about gave %s %r" % (status, body))

        # what the metrics zone counted, over every worker and reload
        conn = http.client.HTTPConnection("127.0.0.1", status_port, timeout=10)
        conn.request("GET", "/status")
        counted_doc = json.loads(conn.getresponse().read())
        conn.close()
        counted = {k: v for f in counted_doc["data_files"] if f["path"] == str(DATA_FILE)
                   for k, v in f["requests"].items()}

        nginx.send_signal(signal.SIGQUIT)
        try:
            nginx.wait(timeout=30)
        except subprocess.TimeoutExpired:
            failures.append("nginx did not quit within 30 s")
            nginx.kill()
            nginx.wait()

        (prefix / "wrk.txt").write_text(wrk_out)
        w = parse_wrk(wrk_out)
        if not w["summary"]:
            raise RuntimeError("wrk gave no summary:\n" + wrk_out)

        # ---- the verdicts
        requests = w["summary"]["requests"]
        seconds = w["summary"]["duration_us"] / 1e6
        statuses = w["status"]
        bodies = w["body"]
        errors = w["errors"]

        error_log = (prefix / "error.log").read_text(errors="replace")
        bad_lines = [ln for ln in error_log.splitlines()
                     if any(b in ln for b in FAILURE_MARKS + SANITIZER_MARKS)]
        if bad_lines:
            failures.append("error log: %d bad lines, first: %s" % (len(bad_lines), bad_lines[0]))
        other_lines = [ln for ln in error_log.splitlines() if ln.strip() and ln not in bad_lines]

        if "Non-2xx or 3xx responses" in wrk_out or errors.get("status"):
            failures.append("wrk counted responses with an error status")
        if set(statuses) - {"200"}:
            failures.append("statuses other than 200: %s" % {k: v for k, v in statuses.items()
                                                            if k != "200"})
        known = set(VARIATIONS) | {page_name(p) for p in PAGES}
        unknown = {k: v for k, v in bodies.items() if k not in known}
        if unknown:
            failures.append("responses from unexpected pages: %s" % unknown)
        for name in VARIATIONS:
            if not bodies.get(name):
                failures.append("variation location %s (variant %s) never answered"
                                % (name, VARIATIONS[name]))
        if not bodies.get(page_name("always")):
            failures.append("/always never answered with its own page: the broken or "
                            "half-written file was never seen")
        if errors.get("timeout"):
            failures.append("%d requests timed out (10 s)" % errors["timeout"])
        cut = errors.get("connect", 0) + errors.get("read", 0) + errors.get("write", 0)
        allowed = args.connections * (reloads + 1)
        if cut > allowed:
            failures.append("%d socket errors, more than %d (connections x (reloads + 1))"
                            % (cut, allowed))
        if rewriter.error is not None:
            failures.append("data file rewriter failed: %r" % rewriter.error)
        # every request that reached the module once: those wrk completed,
        # the checks before and after, and at most those cut off (by a reload,
        # or in flight when wrk stopped), which wrk does not count as sent
        sent = requests + len(checks) + 1
        counted_total = sum(counted.values())
        slack = cut + args.connections
        if not sent <= counted_total <= sent + slack:
            failures.append("the metrics zone counted %d requests, %d were sent (and at most "
                            "%d cut off): %s" % (counted_total, sent, slack, counted))
        if counted.get("error"):
            failures.append("%d requests counted as errors" % counted["error"])

        verdicts = judge_memory(sampler, load_start, load_end, args.warmup, args.rss_bound)
        judged = [v for v in verdicts if "ok" in v]
        if not judged:
            failures.append("no worker served longer than its %.0f s warm-up: memory not judged"
                            % args.warmup)
        for v in judged:
            if not v["ok"]:
                failures.append("worker %d grew by %d KiB after its warm-up (bound %d KiB)"
                                % (v["pid"], v["growth"], args.rss_bound))
        all_rss = [r for s in sampler.workers.values() for _, r, ok in s if ok]
        if not sampler.workers:
            raise RuntimeError("no worker process was ever seen")
        first_worker = min(sampler.workers.values(), key=lambda s: s[0][0])
        last_worker = max(sampler.workers.values(), key=lambda s: s[0][0])
        master = [r for _, r in sampler.master_rss]

        figures = {
            "requests": requests,
            "seconds": round(seconds, 1),
            "requests_per_second": round(requests / seconds) if seconds else 0,
            "statuses": statuses,
            "socket_errors": errors,
            "latency_us": w["latency"],
            "responses_by_page": dict(sorted(bodies.items())),
            "reloads": reloads,
            "metrics_zone": {"sent": sent, "counted": counted_total, "by_outcome": counted,
                             "counters_dropped": counted_doc["counters_dropped"]},
            "data_file_rewrites": {"total": rewriter.count, "in_place": rewriter.in_place,
                                   "renamed": rewriter.renamed, "by_variant": rewriter.by_variant},
            "worker_rss_kib": {"start": first_worker[0][1], "end": last_worker[-1][1],
                               "max": max(all_rss) if all_rss else None,
                               "per_worker": verdicts},
            "master_rss_kib": {"start": master[0] if master else None,
                               "end": master[-1] if master else None},
            "error_log_lines": {"bad": len(bad_lines), "other": len(other_lines)},
            "reached_requests": requests >= args.requests,
            "failures": failures,
        }
        (prefix / "results.json").write_text(json.dumps(figures, indent=1) + "\n")

        print()
        log("requests         %d in %.1f s, %d req/s%s"
            % (requests, seconds, figures["requests_per_second"],
               "" if requests >= args.requests else
               "  (NOTE: stopped by the %d s bound before %d)" % (args.max_seconds,
                                                                  args.requests)))
        log("statuses         %s" % ", ".join("%s: %d" % kv for kv in sorted(statuses.items())))
        log("socket errors    connect %d, read %d, write %d, timeout %d (reloads close "
            "keep-alive connections)" % (errors.get("connect", 0), errors.get("read", 0),
                                          errors.get("write", 0), errors.get("timeout", 0)))
        log("latency          p50 %.2f ms, p99 %.2f ms, max %.1f ms"
            % (w["latency"]["p50_us"] / 1e3, w["latency"]["p99_us"] / 1e3,
               w["latency"]["max_us"] / 1e3))
        log("reloads          %d" % reloads)
        log("metrics zone     %d counted for %d sent (%d cut off at most): %s"
            % (counted_total, sent, slack, ", ".join("%s %d" % kv for kv in counted.items())))
        log("data file        %d rewrites (%d in place, %d by rename): %s"
            % (rewriter.count, rewriter.in_place, rewriter.renamed,
               ", ".join("%s %d" % kv for kv in rewriter.by_variant.items())))
        log("answered by      " + ", ".join("%s %d" % (k, v) for k, v in sorted(bodies.items())))
        log("worker RSS       start %d KiB, end %d KiB, max %d KiB over %d workers"
            % (figures["worker_rss_kib"]["start"], figures["worker_rss_kib"]["end"],
               figures["worker_rss_kib"]["max"], len(sampler.workers)))
        for v in verdicts:
            if "ok" in v:
                log("  worker %d: %.1f s serving, %d KiB after %.0f s warm-up, max %d, "
                    "growth %d KiB (bound %d)" % (v["pid"], v["served_s"], v["after_warmup"],
                                                  args.warmup, v["max"], v["growth"],
                                                  args.rss_bound))
            else:
                log("  worker %d: %.1f s serving, max %d KiB (too short to judge)"
                    % (v["pid"], v["served_s"], v["max"]))
        log("master RSS       start %s KiB, end %s KiB" % (figures["master_rss_kib"]["start"],
                                                          figures["master_rss_kib"]["end"]))
        log("error log        %d alert/crit/emerg/crash lines, %d other lines"
            % (len(bad_lines), len(other_lines)))
        log("results in %s" % (prefix / "results.json"))
    finally:
        if wrk is not None and wrk.poll() is None:
            wrk.kill()
            wrk.wait()
        for t in (rewriter, sampler):
            if t is not None and t.is_alive():
                t.stop_event.set()
                t.join()
        if nginx is not None and nginx.poll() is None:
            stop_nginx(nginx)
        tmp = DATA_FILE.with_name(DATA_FILE.name + ".soak-tmp")
        if tmp.exists():
            tmp.unlink()
        if backup is not None:
            shutil.copy2(backup, DATA_FILE, follow_symlinks=False)
            backup.unlink()
        elif DATA_FILE.exists():
            DATA_FILE.unlink()
        lock.release()

    if failures:
        for f in failures:
            log("FAILED: " + f)
        sys.exit(1)
    log("passed")


if __name__ == "__main__":
    main()
