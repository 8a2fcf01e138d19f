#!/usr/bin/env python3
"""The module's cost per request, measured with wrk against the built nginx.

A shared machine changes speed by 10-30 % within seconds, so runs one after
the other cannot tell a few percent apart.  The benchmark therefore measures
side by side: two like nginx, each with one worker, both pinned to the same
CPU (wrk on the other), and while one serves the scenario the other serves the
module-off page, two wrk at once.  The kernel shares the CPU evenly between
two busy workers, so the ratio of their requests/s is the ratio of what a
request costs, and whatever slows the machine slows both alike.  Each scenario
runs ROUNDS rounds, the twins swapping sides every round; its ratio is the
median of the rounds'.  A scenario whose round ratios spread by more than
NOISY (the machine was very busy) is marked.  (With --workers N each twin has
N workers and nothing is pinned.)

  1. A pre-check: nginx with a debug-level error log serves one request of
     every scenario, and the module's log lines, the headers and the body prove
     that each scenario takes the path it is named after (untargeted, targeted
     and kept on the reference, redirected to the variation, no data file).
     A benchmark of the wrong path is worse than none: any mismatch stops it.
  2. The measurement: nginx with a warn-level error log (debug lines would
     cost more than the module), one worker pinned to CPU 0, wrk pinned to
     CPU 1.  Each scenario is checked once more with one request, warmed up,
     then measured; wrk must report no error and no non-2xx response.  Pages
     that a scenario must not reach do not exist (the redirected URL has no
     file of its own, the reference experiment's variation has no location
     file), so a request that takes the wrong path during the measurement is a
     404 that fails the run.

Results go to build/bench/: results.md (the table, also printed),
results.json, ratio.png (the chart) and the nginx prefixes used.

The data file path is fixed (/tmp/vantorell-data.json) and shared with the
test suites: the run takes their lock, keeps a copy of any existing file and
puts it back at the end.
"""

import argparse
import contextlib
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/support"))
import make_data  # noqa: E402
import scenarios  # noqa: E402
from scenarios import (HOST, OUT, ZONES, BenchError, Nginx, check_response,  # noqa: E402
                       check_variables_log, describe, fail, fmt_ratio, make_docroot,
                       peer_cookie, precheck_one, prepare, run_main)
from vantorell_harness import DATA_FILE, LOCK_FILE, DataFileLock  # noqa: E402

SIZES = (1, 10, 100, 1000)
NOISY = 0.10                                 # round ratios of a scenario spread this far


# ---- scenarios ----------------------------------------------------------------

class Scenario(scenarios.Scenario):
    """A scenario with what wrk measured of it.  server: which server block
    answers (off, on, split), or "plain" for an nginx without the module."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.rps = None              # median over the rounds, sharing the CPU
        self.requests = 0            # over all rounds
        self.ratio = None            # median over the rounds
        self.noisy = False
        self.runs = []               # requests/s of each round
        self.ratios = []             # each round's ratio to the module-off run beside it
        self.offs = []               # the module-off runs beside the rounds

    def settle(self):
        """The scenario's ratio from its rounds."""
        self.ratios = [rps / off for rps, off in zip(self.runs, self.offs)]
        self.ratio = median(self.ratios)
        self.rps = median(self.runs)
        self.noisy = max(self.ratios) - min(self.ratios) > NOISY

    @property
    def reads_data(self):
        """Only the module-on server reads the data file; the others leave it
        as the scenario before them had it."""
        return self.server.startswith("on") or self.server.startswith("zone")


def baseline(i):
    return Scenario("off-%d" % i, "module off (baseline)", "off", make_data.REFERENCE_URL,
                    "-", "page")


def scenario_groups():
    """The scenarios in groups: the cases without data file size, then one
    group per data-file size (so the file is written once per size)."""
    page = make_data.REFERENCE_URL
    groups = [[
        Scenario("plain", "nginx without the module loaded", "plain", page, "-", "page"),
        Scenario("nodata", "module on, no data file", "on", page, "new", "nodata"),
        Scenario("split-new", "peer: split_clients + userid + rewrite", "split",
                 make_data.REDIRECT_URL, "new", "split"),
        Scenario("split-returning", "peer: split_clients + userid + rewrite", "split",
                 make_data.REDIRECT_URL, "returning", "split"),
    ]]
    for n in SIZES:
        group = []
        for visitor in ("new", "returning"):
            group.append(Scenario("untargeted-%s-%d" % (visitor, n), "untargeted URL", "on",
                                  make_data.UNTARGETED_URL, visitor, "untargeted", n))
        for visitor in ("new", "returning"):
            group.append(Scenario("reference-%s-%d" % (visitor, n),
                                  "targeted, visitor gets the reference", "on",
                                  make_data.REFERENCE_URL, visitor, "reference", n,
                                  focus="reference"))
        for visitor in ("new", "returning"):
            group.append(Scenario("redirect-%s-%d" % (visitor, n),
                                  "targeted, redirected to a variation", "on",
                                  make_data.REDIRECT_URL, visitor, "redirect", n))
        if n == 1:
            # the same, counted in a metrics zone (an nginx of its own: the
            # zone counts every server of its nginx)
            group.append(Scenario("redirect-returning-1-zone",
                                  "targeted, redirected, metrics zone on", "zone",
                                  make_data.REDIRECT_URL, "returning", "redirect", n))
            # ...counting assignments only, not the responses at the log phase
            group.append(Scenario("redirect-returning-1-zone-assignments",
                                  "targeted, redirected, metrics zone on, responses=off",
                                  "zone-assignments", make_data.REDIRECT_URL, "returning",
                                  "redirect", n))
        if n == 10:
            for server, label in (("on-log", "redirected, with an access log"),
                                  ("on-log-vars", "redirected, access log of the 5 variables")):
                group.append(Scenario("redirect-returning-%d-%s" % (n, server), label, server,
                                      make_data.REDIRECT_URL, "returning", "redirect", n))
        groups.append(group)
    return groups


def median(values):
    v = sorted(values)
    mid = len(v) // 2
    return v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2


# ---- files --------------------------------------------------------------------

class DataFileKeeper:
    """Writes the benchmark's data files to the fixed path and puts back what
    was there before."""

    def __init__(self, settle):
        self.settle = settle
        self.saved = None
        self.current = None            # bytes written by us, or None when absent

    def save(self):
        try:
            st = os.lstat(DATA_FILE)
        except FileNotFoundError:
            return
        if not os.path.isfile(DATA_FILE) or os.path.islink(DATA_FILE):
            raise BenchError("%s is not a regular file; not touching it" % DATA_FILE)
        self.saved = (DATA_FILE.read_bytes(), st)
        print("bench: keeping a copy of the existing %s (%d bytes)" % (DATA_FILE, st.st_size))

    def restore(self):
        if self.saved is None:
            with contextlib.suppress(FileNotFoundError):
                DATA_FILE.unlink()
            return
        content, st = self.saved
        tmp = DATA_FILE.with_name(DATA_FILE.name + ".bench-restore")
        tmp.write_bytes(content)
        os.chmod(tmp, st.st_mode & 0o7777)
        with contextlib.suppress(OSError):
            os.chown(tmp, st.st_uid, st.st_gid)
        os.utime(tmp, ns=(st.st_atime_ns, st.st_mtime_ns))
        os.replace(tmp, DATA_FILE)
        print("bench: put the earlier %s back" % DATA_FILE)

    def rewrite(self):
        """Writes the current data file again, as a deployment would: the
        scenario that follows meets a file younger than two seconds."""
        if self.current is None:
            return
        tmp = DATA_FILE.with_name(DATA_FILE.name + ".bench-tmp")
        tmp.write_bytes(self.current)
        os.chmod(tmp, 0o644)
        os.replace(tmp, DATA_FILE)

    def set(self, count, focus, settle=True):
        content = None if count is None else make_data.document(count, focus).encode()
        if content == self.current and (content is not None or not DATA_FILE.exists()):
            return
        if content is None:
            with contextlib.suppress(FileNotFoundError):
                DATA_FILE.unlink()
        else:
            tmp = DATA_FILE.with_name(DATA_FILE.name + ".bench-tmp")
            tmp.write_bytes(content)
            os.chmod(tmp, 0o644)
            os.replace(tmp, DATA_FILE)
            if settle and self.settle > 0:
                # A deployed data file is read for hours after each write, but
                # a file written in the last seconds cannot be trusted by its
                # timestamps alone (a rewrite within the same tick keeps
                # them), so a cache re-reads it until it is older.  Measure
                # the steady state, not those first seconds.
                time.sleep(self.settle)
        self.current = content


@contextlib.contextmanager
def data_file_lock(wait):
    """The lock the test suites take around the fixed data file."""
    def waiting():
        print("bench: waiting for %s (a test run holds it)" % LOCK_FILE, flush=True)
    lock = DataFileLock()
    try:
        lock.acquire(wait, waiting)
    except TimeoutError:
        raise BenchError("%s stayed locked for %d s (tests running?)" % (LOCK_FILE, wait))
    try:
        yield
    finally:
        lock.release()


# ---- nginx --------------------------------------------------------------------

def bench_nginx(prefix, docroot, with_module, level, pin, workers=1, zone=None):
    """An nginx of the benchmark: with the module, module off, the peer and
    module on without an access log, with one (on-log) and with one of the
    module's variables (on-log-vars); without it, module not loaded (plain,
    on the module-off server's port) and the peer; with a zone, its one
    module-on server, named after the zone."""
    if zone:
        servers = {zone: ("on", {})}
    else:
        servers = {"off": ("off", {}), "split": ("split", {})}
        if with_module:
            for name, log in (("on", "none"), ("on-log", "plain"), ("on-log-vars", "vars")):
                servers[name] = ("on", {"access_log": log})
    affinity = ("worker_cpu_affinity 01;" if pin else
                "worker_cpu_affinity auto;" if workers > 1 else "")
    nginx = Nginx(prefix, docroot, servers, with_module, level, workers=workers,
                  affinity=affinity, zone=zone)
    if not with_module and not zone:
        nginx.ports["plain"] = nginx.ports["off"]
    return nginx


def precheck(nginx_dbg, own_dbg, all_scenarios, data, bodies):
    """One request per scenario with the module's debug lines (own_dbg: the
    nginx of each server that has one of its own): returns the peer's
    returning-visitor cookie, taken from its answer to a new visitor."""
    split_cookie = None
    for sc in all_scenarios:
        server = own_dbg.get(sc.server, nginx_dbg)
        if sc.reads_data:
            data.set(sc.data, sc.focus, settle=False)
        cookies = precheck_one(server, sc, sc.cookie(split_cookie), bodies)
        if sc.key == "split-new":
            split_cookie = peer_cookie(cookies)
    for server in [nginx_dbg] + list(own_dbg.values()):
        server.assert_healthy()
    return split_cookie


# ---- wrk ----------------------------------------------------------------------

def start_wrk(port, url, cookie, seconds, args, pin):
    cmd = (["taskset", "-c", "1"] if pin else []) + [
        "wrk", "-t%d" % args.threads, "-c%d" % args.connections, "-d%ds" % seconds,
        "--timeout", "10s", "-H", "Host: " + HOST]
    if cookie:
        cmd += ["-H", "Cookie: " + cookie]
    cmd.append("http://127.0.0.1:%d%s" % (port, url))
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_wrk(proc, seconds):
    try:
        out, err = proc.communicate(timeout=seconds + 60)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise BenchError("wrk did not finish")
    if proc.returncode != 0:
        raise BenchError("wrk failed (%d): %s %s" % (proc.returncode, out, err))
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    total = re.search(r"(\d+) requests in", out)
    if not rps or not total:
        raise BenchError("cannot read wrk's output:\n" + out)
    problems = []
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if m:
        problems.append("%s responses were not 2xx/3xx" % m.group(1))
    m = re.search(r"Socket errors: (.*)", out)
    if m:
        problems.append("socket errors: " + m.group(1))
    if int(total.group(1)) == 0:
        problems.append("no request completed")
    return float(rps.group(1)), int(total.group(1)), problems, out


def run_side_by_side(sides, seconds, args, pin):
    """Runs wrk against every (scenario, server, port, cookie) of sides at the
    same time; their requests/s in that order."""
    procs = [start_wrk(port, sc.url, cookie, seconds, args, pin)
             for sc, _, port, cookie in sides]
    results = [finish_wrk(proc, seconds) for proc in procs]
    rates = []
    for (sc, _, _, _), (rps, requests, problems, out) in zip(sides, results):
        if problems:
            fail(sc, problems, "\nwrk said:\n" + out)
        sc.requests += requests
        rates.append(rps)
    return rates


# ---- output -------------------------------------------------------------------

def fmt_rps(v):
    return "{:,.0f}".format(v) if v >= 100 else "{:,.1f}".format(v)


def markdown(measured, info):
    offs = [v for sc in measured for v in sc.offs]
    lines = [
        "# vantorell benchmark",
        "",
        "- when: %s; run time %.0f s%s%s" % (
            info["when"], info["elapsed_s"],
            " (after %.0f s waiting for the tests' lock)" % info["lock_wait_s"]
            if info["lock_wait_s"] >= 1 else "",
            "; " + info["label"] if info["label"] else ""),
        "- command: `%s`" % info["command"],
        "- nginx: `%s` (%s), module `%s` (sha256 %s…); work tree at git %s" % (
            info["nginx"], info["nginx_path"], info["module"], info["module_sha"], info["git"]),
        "- machine: %d CPUs; two like nginx with %d worker%s each%s; wrk -t%d -c%d per "
        "nginx, keep-alive; per scenario %d s warm-up, then %d rounds of %d s" % (
            info["cpus"], info["workers"], "s" if info["workers"] > 1 else "",
            info["pin_note"], info["threads"], info["connections"], info["warmup"],
            info["rounds"], info["duration"]),
        "- measured side by side: in every round one nginx serves the scenario while the "
        "other serves the module-off page, sharing the CPU; a round's ratio is the "
        "scenario's requests/s to the module-off side's, a scenario's ratio the median of "
        "its rounds' (their range in the last column); requests/s are while sharing",
        "- module off alone, before and after: %s req/s; beside the scenarios: %s to %s req/s"
        % (" / ".join(fmt_rps(v) for v in info["alone_rps"]), fmt_rps(min(offs)),
           fmt_rps(max(offs))),
        "",
        "| scenario | visitor | experiments | requests/s | ratio to module off | rounds' range |",
        "| --- | --- | ---: | ---: | ---: | ---: |",
    ]
    for sc in measured:
        n = "no file" if sc.server == "on" and sc.data is None else (sc.data or "-")
        lines.append("| %s | %s | %s | %s | %s%s | %s – %s |" % (
            sc.label, sc.visitor, n, fmt_rps(sc.rps), fmt_ratio(sc.ratio),
            " *" if sc.noisy else "", fmt_ratio(min(sc.ratios)), fmt_ratio(max(sc.ratios))))
    lines += ["", "Ratio to module off by data-file size:", "",
              "| scenario | visitor | " + " | ".join("%d" % n for n in SIZES) + " |",
              "| --- | --- | " + " | ".join("---:" for _ in SIZES) + " |"]
    by_key = {sc.key: sc for sc in measured}
    for kind, label in (("untargeted", "untargeted URL"),
                        ("reference", "targeted, reference"),
                        ("redirect", "targeted, redirected")):
        for visitor in ("new", "returning"):
            cells = [fmt_ratio(by_key["%s-%s-%d" % (kind, visitor, n)].ratio)
                     + (" *" if by_key["%s-%s-%d" % (kind, visitor, n)].noisy else "")
                     for n in SIZES]
            lines.append("| %s | %s | %s |" % (label, visitor, " | ".join(cells)))
    zone, without = by_key["redirect-returning-1-zone"], by_key["redirect-returning-1"]
    assignments = by_key["redirect-returning-1-zone-assignments"]
    lines += ["", "Metrics zone on: %s of the same scenario without it (targeted, redirected, "
              "returning, 1 experiment)." % fmt_ratio(zone.ratio / without.ratio),
              "Counting the responses at the log phase costs %s of a module-off request "
              "(the zone with responses=off: %s; with the responses: %s)."
              % (fmt_ratio(assignments.ratio - zone.ratio), fmt_ratio(assignments.ratio),
                 fmt_ratio(zone.ratio))]
    lines.append("")
    noisy = [sc for sc in measured if sc.noisy]
    if noisy:
        lines.append("\\* the rounds' ratios of this scenario spread by more than %.2f: "
                     "the machine was busy then (%d of %d scenarios); rerun for a "
                     "cleaner number.\n" % (NOISY, len(noisy), len(measured)))
    return "\n".join(lines)


def chart(measured, out_dir, subtitle):
    """ratio.png: the ratio to module off by data-file size, a line per
    scenario; the flat cases (no data file, the peer) as dashed levels."""
    by_key = {sc.key: sc for sc in measured}
    series = []
    for kind, label in (("untargeted", "untargeted"), ("reference", "targeted, reference"),
                        ("redirect", "targeted, redirected")):
        for visitor in ("new", "returning"):
            series.append(("%s, %s visitor" % (label, visitor),
                           [by_key["%s-%s-%d" % (kind, visitor, n)].ratio for n in SIZES]))
    levels = [("module on, no data file", by_key["nodata"].ratio),
              ("split\\_clients peer, new", by_key["split-new"].ratio),
              ("split\\_clients peer, returning", by_key["split-returning"].ratio)]
    dat = out_dir / "ratio.dat"
    with open(dat, "w") as f:
        f.write("# experiments " + " ".join('"%s"' % s[0] for s in series) + "\n")
        for i, n in enumerate(SIZES):
            f.write("%d %s\n" % (n, " ".join("%.6g" % s[1][i] for s in series)))
    values = [v for _, vs in series for v in vs] + [v for _, v in levels] + [1.0]
    low = min(values)
    if low < 0.2:
        yaxis = "set logscale y 10\nset yrange [%g:%g]\nset format y '%%g'\n" % (
            low / 2, max(2, max(values) * 1.2))
    else:
        yaxis = "set yrange [0:%g]\n" % max(1.15, max(values) * 1.05)
    plots = []
    colors = ["#1b9e77", "#66c2a5", "#d95f02", "#fc8d62", "#7570b3", "#8da0cb"]
    for i, (title, _) in enumerate(series):
        dash = "dt 1" if i % 2 == 0 else "dt 2"
        plots.append("'%s' using 1:%d with linespoints lw 2 pt 7 ps 1.2 lc rgb '%s' %s title '%s'"
                     % (dat, i + 2, colors[i], dash, title))
    plots.append("1 with lines lw 2 lc rgb 'black' title 'module off (1.0)'")
    for (title, v), color in zip(levels, ["#e7298a", "#a6761d", "#e6ab02"]):
        plots.append("%.6g with lines lw 2 dt 3 lc rgb '%s' title '%s (%.3f)'" % (v, color, title, v))
    script = """\
set terminal pngcairo size 1200,760 enhanced font 'DejaVu Sans,11'
set output '{out}'
set title "vantorell: requests/s relative to nginx with the module off (1 worker, wrk on loopback)\\n{{/*0.85 {subtitle}}}"
set xlabel 'experiments in the data file'
set ylabel 'ratio to module off (higher is better)'
set logscale x 10
set xrange [0.7:1500]
set xtics ("1" 1, "10" 10, "100" 100, "1,000" 1000)
{yaxis}set grid xtics ytics mytics
set key outside right center box
plot {plots}
""".format(out=out_dir / "ratio.png", yaxis=yaxis,
           subtitle=subtitle.replace("\\", "").replace('"', "'").replace("_", "\\\\_"), plots=", \\\n     ".join(plots))
    gp = out_dir / "ratio.gp"
    gp.write_text(script)
    p = subprocess.run(["gnuplot", str(gp)], capture_output=True, text=True, timeout=60)
    if p.returncode != 0:
        raise BenchError("gnuplot failed: " + p.stderr)


# ---- main ---------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description="wrk benchmark of the module (see the file's doc)")
    ap.add_argument("--duration", type=int, default=int(os.environ.get("BENCH_DURATION", 1)),
                    help="seconds of each measured run, module on and off alike (default 1)")
    ap.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", 6)),
                    help="measured runs per scenario, each between two module-off runs; "
                         "the ratio is their median (default 6)")
    ap.add_argument("--warmup", type=int, default=int(os.environ.get("BENCH_WARMUP", 1)),
                    help="seconds of warm-up per scenario, not measured (default 1)")
    ap.add_argument("--settle", type=float, default=float(os.environ.get("BENCH_SETTLE", 3)),
                    help="seconds to let a newly written data file age (default 3)")
    ap.add_argument("--connections", type=int, default=16)
    ap.add_argument("--threads", type=int, default=None,
                    help="wrk threads (default: as many as nginx workers)")
    ap.add_argument("--workers", type=int, default=1,
                    help="nginx worker processes (default 1, pinned to CPU 0; more are "
                         "not pinned)")
    ap.add_argument("--fresh", action="store_true",
                    help="rewrite the data file right before every measured run that reads "
                         "it, with no warm-up: the cost of a file younger than two seconds")
    ap.add_argument("--label", default=os.environ.get("BENCH_LABEL", ""),
                    help="a note on what is measured, shown in the results")
    ap.add_argument("--lock-wait", type=int, default=900,
                    help="seconds to wait for the test suites' lock (default 900)")
    args = ap.parse_args()
    if args.duration < 1 or args.warmup < 0 or args.rounds < 1:
        ap.error("durations are whole seconds, at least 1 for --duration; --rounds at least 1")
    if args.workers < 1:
        ap.error("--workers takes a positive number")
    if args.threads is None:
        args.threads = args.workers
    if args.fresh:
        args.warmup, args.settle = 0, 0

    prepare(("wrk", "gnuplot"), "scripts/bench/install-bench-deps.sh")

    started = time.monotonic()
    cpus = os.cpu_count() or 1
    pin = cpus >= 2 and args.workers == 1 and shutil.which("taskset") is not None
    OUT.mkdir(parents=True, exist_ok=True)
    docroot = OUT / "docroot"
    bodies = make_docroot(docroot)
    groups = scenario_groups()
    measured = sum(groups, [])
    info = describe()
    info["label"] = args.label
    if args.workers > 1 or args.fresh:
        info["label"] = "; ".join(x for x in (
            info["label"], "%d workers" % args.workers if args.workers > 1 else "",
            "data file rewritten before every scenario" if args.fresh else "") if x)
    info.update(workers=args.workers, cpus=cpus, threads=args.threads,
                connections=args.connections,
                warmup=args.warmup, duration=args.duration, rounds=args.rounds,
                pin_note=", both pinned to CPU 0, wrk to CPU 1" if pin else "",
                when=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
                command="make bench" if os.environ.get("MAKELEVEL") else
                " ".join(["scripts/bench/bench.py"] + sys.argv[1:]))

    data = DataFileKeeper(args.settle)
    servers = []
    with data_file_lock(args.lock_wait):
        info["lock_wait_s"] = round(time.monotonic() - started, 1)
        started = time.monotonic()
        data.save()
        try:
            # 1. which path each scenario takes, from the module's debug lines
            dbg = bench_nginx(OUT / "precheck", docroot, True, "debug", False)
            plain_dbg = bench_nginx(OUT / "precheck-plain", docroot, False, "debug", False)
            own_dbg = {"plain": plain_dbg}
            for zone in ZONES:
                own_dbg[zone] = bench_nginx(OUT / ("precheck-" + zone), docroot, True, "debug", False,
                                      zone=zone)
            checking = [dbg] + list(own_dbg.values())
            servers += checking
            for server in checking:
                server.start()
            split_cookie = precheck(dbg, own_dbg, [baseline(0)] + sum(groups, []), data, bodies)
            for server in checking:
                server.stop()
            check_variables_log(dbg)
            print("bench: pre-check passed: every scenario takes its path (%d scenarios)"
                  % (1 + len(sum(groups, []))), flush=True)

            # 2. the measurement: two like nginx, each scenario side by side
            # with the module off on the other, the sides swapped every round
            twins = [bench_nginx(OUT / "nginx-a", docroot, True, "warn", pin, args.workers),
                     bench_nginx(OUT / "nginx-b", docroot, True, "warn", pin, args.workers)]
            plain = bench_nginx(OUT / "nginx-plain", docroot, False, "warn", pin, args.workers)
            own = {"plain": plain}
            for zone in ZONES:
                own[zone] = bench_nginx(OUT / ("nginx-" + zone), docroot, True, "warn", pin,
                                  args.workers, zone=zone)
            servers += twins + list(own.values())
            for server in twins + list(own.values()):
                server.start()
            off = baseline(0)

            def off_side(server):
                return (off, server, server.ports["off"], None)

            alone = []
            for twin in twins:
                alone += run_side_by_side([off_side(twin)], args.duration, args, pin)
            for sc in measured:
                cookie = sc.cookie(split_cookie)
                if sc.server in own:
                    # an nginx of its own, beside either twin's module-off page
                    alone_in = own[sc.server]
                    pairs = [((sc, alone_in, alone_in.ports[sc.server], cookie), off_side(twin))
                             for twin in twins]
                else:
                    pairs = [((sc, a, a.ports[sc.server], cookie), off_side(b))
                             for a, b in (twins, twins[::-1])]
                if sc.reads_data:
                    data.set(sc.data, sc.focus)
                    if args.fresh:
                        data.rewrite()
                for (_, server, port, _), _ in pairs:
                    status, headers, body = server.request(port, sc.url, cookie)
                    problems, _ = check_response(sc, status, headers, body, bodies)
                    if problems:
                        fail(sc, problems)
                if args.warmup:
                    run_side_by_side(pairs[0], args.warmup, args, pin)
                for i in range(args.rounds):
                    if args.fresh and sc.reads_data:
                        data.rewrite()
                    rps, off_rps = run_side_by_side(pairs[i % 2], args.duration, args, pin)
                    sc.runs.append(rps)
                    sc.offs.append(off_rps)
                sc.settle()
                print("bench: %4.0fs  %-40s %-9s %-7s %s%s  (%s – %s)" % (
                    time.monotonic() - started, sc.label, sc.visitor,
                    "" if sc.data is None else sc.data, fmt_ratio(sc.ratio),
                    " *" if sc.noisy else "", fmt_ratio(min(sc.ratios)),
                    fmt_ratio(max(sc.ratios))), flush=True)
            for twin in twins:
                alone += run_side_by_side([off_side(twin)], args.duration, args, pin)
            info["alone_rps"] = alone
            for server in servers[-4:]:
                server.stop()
                server.assert_healthy()
        finally:
            for server in servers:
                server.stop()
            data.restore()

    info["elapsed_s"] = round(time.monotonic() - started, 1)
    report = markdown(measured, info)
    (OUT / "results.md").write_text(report)
    (OUT / "results.json").write_text(json.dumps({
        "info": info,
        "scenarios": [{"key": sc.key, "label": sc.label, "visitor": sc.visitor,
                       "experiments": sc.data, "url": sc.url, "rps": sc.rps,
                       "requests": sc.requests, "ratio": sc.ratio, "noisy": sc.noisy,
                       "rounds_rps": sc.runs, "rounds_ratio": sc.ratios,
                       "module_off_rps": sc.offs}
                      for sc in measured]}, indent=2) + "\n")
    print()
    print(report)
    chart(measured, OUT, "%s, module sha256 %s…%s" % (
        info["when"], info["module_sha"], "; " + info["label"] if info["label"] else ""))
    print("bench: wrote %s, %s and %s" % (OUT / "results.md", OUT / "results.json",
                                          OUT / "ratio.png"))


if __name__ == "__main__":
    run_main(main, "bench")
