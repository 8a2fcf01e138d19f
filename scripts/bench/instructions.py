#!/usr/bin/env python3
"""Instructions per request: what a request costs in user space, counted by
valgrind's callgrind, a number that the machine's load cannot move.

nginx runs as one process (master_process off, so the process is the worker)
under `valgrind --tool=callgrind --instr-atstart=no`, a new one for every run
of every scenario.  A client outside valgrind opens one keep-alive connection
and sends WARMUP requests with callgrind's instrumentation off (the worker
reads its data file, fills its caches), then switches it on and zeroes the
counters (callgrind_control), sends REQUESTS requests, one at a time, and has
the counters dumped.  The dump's total of executed instructions (Ir), divided
by the requests, is the run's figure: everything the worker ran for them,
its event loop, nginx, the module, OpenSSL and the C library, and nothing of
the kernel, whose share is the same for every scenario (`make bench`
measures it side by side).  A scenario's figure is the lowest of its RUNS.

The same requests execute the same instructions but where the program
depends on what lies outside it; what the C library's allocator does depends
on the heap's layout, so everything that could change that layout from run
to run is kept the same: the order of the listening ports, no connection but
the client's (starting nginx does not try the ports), and a connection
closed by nginx itself before the next one arrives.  Runs agree within 0.1 %.

Before that, an nginx with a debug-level error log (not under valgrind)
serves one request of every scenario, and the module's log lines, the headers
and the body prove that each takes the path it is named after; under
valgrind every response is checked again by its headers and body.

The default run measures the scenarios of the targets (1 experiment in the
data file) and prints them with their ratios to module off and whether each
target is met.  --experiments, --targeting, --url-length, --all-regex and
--distinct-urls measure one scenario on other data files and URLs instead;
--scale measures the whole range of each (some minutes).

Results: build/bench/instructions.json, the callgrind dumps of the run in
build/bench/instructions/<scenario>.callgrind (read them with
`callgrind_annotate --inclusive=yes FILE`).  Data files are written in that
folder too (the shared /tmp/vantorell-data.json is not used).
"""

import argparse
import base64
import contextlib
import datetime
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_data  # noqa: E402
from scenarios import (HOST, OUT, RETURNING_CODE, BenchError, Nginx, Scenario,  # noqa: E402
                       check_response, check_variables_log, describe, fail, fmt_ratio,
                       make_docroot, precheck_one, prepare, run_main)

WORK = OUT / "instructions"

# the peer's cookie of a returning visitor: 16 bytes in base64, as the userid
# module writes it (any 16 bytes are a valid visitor id)
PEER_COOKIE = "uid=" + base64.b64encode(RETURNING_CODE.encode()).decode()
RESULTS = OUT / "instructions.json"

# runs of a scenario farther apart than this are told (they agree within 0.1 %
# but for the allocator's rare other path)
UNSETTLED = 0.003

# the scenarios of the targets, each on a server of the nginx that runs it
# (the zone counts every server of its nginx, so its scenarios have their own)
MAIN, ZONE, ASSIGN = "main", "zone", "zone-assignments"
# each nginx's metrics zone (a name of ZONES): the zone counts every server of
# its nginx, so its scenarios have an nginx of their own
ZONE_OF = {ZONE: "zone", ASSIGN: "zone-assignments"}


def target_scenarios():
    ref, red, untargeted = make_data.REFERENCE_URL, make_data.REDIRECT_URL, make_data.UNTARGETED_URL
    out = [
        Scenario("off", "module off (baseline)", "off", ref, "-", "page"),
        # what nginx itself spends on the Cookie header of a returning visitor
        Scenario("off-returning", "module off, a visitor cookie sent", "off", ref, "returning",
                 "page"),
        Scenario("nodata", "module on, no data file", "nodata", ref, "new", "nodata"),
    ]
    for visitor in ("new", "returning"):
        out.append(Scenario("untargeted-" + visitor, "untargeted URL", "on", untargeted,
                            visitor, "untargeted", 1))
    for visitor in ("new", "returning"):
        out.append(Scenario("reference-" + visitor, "targeted, reference", "on-reference", ref,
                            visitor, "reference", 1, focus="reference"))
    for visitor in ("new", "returning"):
        out.append(Scenario("redirect-" + visitor, "targeted, redirected", "on", red,
                            visitor, "redirect", 1))
    for visitor in ("new", "returning"):
        out.append(Scenario("split-" + visitor, "peer: split_clients + userid + rewrite",
                            "split", red, visitor, "split"))
    for server, label in (("zone-assignments", "redirected, metrics zone, responses=off"),
                          ("zone", "redirected, metrics zone"),
                          ("zone-log", "redirected, zone, access log"),
                          ("zone-log-vars", "redirected, zone, access log of the 5 variables"),
                          ("zone-log-nginx-vars",
                           "redirected, zone, access log of 5 of nginx's variables instead")):
        out.append(Scenario("redirect-returning-" + server, label, server, red, "returning",
                            "redirect", 1))
    return out


# (what, scenario, the scenario it is held to, at most this many times its figure)
TARGETS = (
    ("redirected returning visitor <= 1.05 x the peer's returning visitor",
     "redirect-returning", "split-returning", 1.05),
    ("redirected new visitor <= 1.05 x the peer's new visitor",
     "redirect-new", "split-new", 1.05),
    ("untargeted, new visitor <= 1.02 x module off", "untargeted-new", "off", 1.02),
    ("untargeted, returning visitor <= 1.02 x module off (the cookie sent too)",
     "untargeted-returning", "off-returning", 1.02),
    ("module on without a data file <= 1.01 x module off", "nodata", "off", 1.01),
    ("zone, the 5 variables logged <= 1.05 x zone, the same log without them",
     "redirect-returning-zone-log-vars", "redirect-returning-zone-log", 1.05),
)


def target_servers(data_dir):
    """The servers of the nginx of the target scenarios: {nginx: servers}."""
    redirect = data_dir / "redirect-1.json"
    reference = data_dir / "reference-1.json"
    redirect.write_text(make_data.document(1, "redirect"))
    reference.write_text(make_data.document(1, "reference"))
    return {
        MAIN: {"off": ("off", {}), "split": ("split", {}),
               "nodata": ("on", {"data_file": data_dir / "absent.json"}),
               "on": ("on", {"data_file": redirect}),
               "on-reference": ("on", {"data_file": reference})},
        ASSIGN: {"zone-assignments": ("on", {"data_file": redirect})},
        ZONE: {"zone": ("on", {"data_file": redirect}),
               "zone-log": ("on", {"data_file": redirect, "access_log": "plain"}),
               "zone-log-vars": ("on", {"data_file": redirect, "access_log": "vars"}),
               "zone-log-nginx-vars": ("on", {"data_file": redirect,
                                              "access_log": "nginx-vars"})},
    }


# ---- scale: one scenario on other data files and URLs -------------------------

class Variant:
    """A scenario on a data file of its own: experiments in the file,
    targeting of them on the redirected URL (None: the usual file), url_length
    (None: the scenario's URL), all_regex; distinct: every request a URL of
    its own, so that no request finds its URL text in the worker's memo."""

    def __init__(self, base, experiments=1, targeting=None, url_length=None, all_regex=False,
                 distinct=False, requests=None):
        self.base, self.experiments, self.targeting = base, experiments, targeting
        self.url_length, self.all_regex, self.distinct = url_length, all_regex, distinct
        self.requests = requests

    @property
    def name(self):
        parts = ["%d experiments" % self.experiments]
        if self.targeting is not None:
            parts.append("%d targeting the URL" % self.targeting)
        if self.all_regex:
            parts.append("every condition a regular expression")
        if self.url_length is not None:
            parts.append("a URL of %d bytes" % self.url_length)
        if self.distinct:
            parts.append("a URL of its own per request")
        return ", ".join(parts)

    def scenario(self, index):
        b = self.base
        url = make_data.long_url(self.url_length) if self.url_length else b.url
        sc = Scenario("%s-%d" % (b.key, index), b.label, "scale-%d" % index, url, b.visitor,
                      b.expect, self.experiments, b.focus)
        sc.variant = self
        return sc

    def document(self):
        return make_data.document(self.experiments, self.base.focus,
                                  all_regex=self.all_regex, targeting=self.targeting)


SCALE_EXPERIMENTS = (1, 10, 100, 1000, 10000, 50000)
SCALE_TARGETING = (1, 10, 100, 1000)          # of 1,000 experiments
SCALE_URL_LENGTHS = (100, 1000, 8000)         # on 100 experiments, all regular expressions


def distinct_requests(experiments):
    """Requests to measure when every URL is new: the targeting of the whole
    file runs for each, so fewer suffice on a large file (each costs about the
    same) and the run stays within minutes."""
    return max(5, min(2000, 200000 // experiments))


def scale_variants(base, distinct):
    out = []
    for n in SCALE_EXPERIMENTS:
        out.append(Variant(base, n, distinct=distinct,
                           requests=distinct_requests(n) if distinct else None))
    for k in SCALE_TARGETING:
        out.append(Variant(base, 1000, targeting=k, distinct=distinct,
                           requests=distinct_requests(1000) if distinct else None))
    for length in SCALE_URL_LENGTHS:
        out.append(Variant(base, 100, url_length=length, all_regex=True, distinct=distinct,
                           requests=distinct_requests(1000) if distinct else None))
    return out


def url_of(sc, i, distinct):
    """The URL of request i of a scenario: its own, or with a number of its own."""
    if not distinct:
        return sc.url
    return "%s%sr=%d" % (sc.url, "&" if "?" in sc.url else "?", i)


# ---- the client ---------------------------------------------------------------

class Client:
    """One keep-alive connection, one request at a time: the same few bytes
    of request for every scenario but the cookie."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf = b""

    def close(self):
        self.sock.close()

    def finish(self, url, cookie):
        """A last request that asks nginx to close the connection, and its
        end: nginx has freed the connection before it looks at anything
        else, so the next scenario's connection meets the same heap every run
        (a close that nginx saw in the same pass as the next connection would
        let the order of the two change what the C library's allocator does
        for every later request, by some 2 %)."""
        self.get(url, cookie, close=True)
        while self.sock.recv(65536):
            pass

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise BenchError("nginx closed the connection")
        self.buf += chunk

    def get(self, url, cookie, close=False):
        request = "GET %s HTTP/1.1\r\nHost: %s\r\n" % (url, HOST)
        if cookie:
            request += "Cookie: %s\r\n" % cookie
        if close:
            request += "Connection: close\r\n"
        self.sock.sendall((request + "\r\n").encode())
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = [tuple(x.strip() for x in line.split(":", 1)) for line in lines[1:]]
        lengths = [v for k, v in headers if k.lower() == "content-length"]
        if len(lengths) != 1:
            raise BenchError("an answer without one Content-Length: %s" % lines)
        length = int(lengths[0])
        while len(self.buf) < length:
            self._fill()
        body, self.buf = self.buf[:length], self.buf[length:]
        return status, headers, body


# ---- callgrind ----------------------------------------------------------------

VALGRIND = ["valgrind", "--tool=callgrind", "--instr-atstart=no"]


def callgrind_control(pid, *args):
    cmd = ["callgrind_control", *args, str(pid)]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        raise BenchError("%s did not answer (can vgdb reach the process? it needs ptrace)"
                         % " ".join(cmd))
    if p.returncode != 0 or "OK." not in p.stdout:
        raise BenchError("%s failed: %s %s" % (" ".join(cmd), p.stdout, p.stderr))


def dump_total(path):
    """The executed instructions of a callgrind dump."""
    m = re.search(r"^(?:totals|summary): (\d+)", path.read_text(errors="replace"), re.M)
    if not m:
        raise BenchError("no total in %s" % path)
    return int(m.group(1))


class Measured:
    """A scenario's count: the lowest of its runs (each in an nginx of its
    own); every run's figure in runs."""

    def __init__(self, sc, requests, instructions, dump):
        self.sc, self.requests, self.instructions, self.dump = sc, requests, instructions, dump
        self.runs = [self.per_request]

    @property
    def per_request(self):
        return self.instructions / self.requests

    def add(self, other):
        """Another run: the lower count stands, with its dump."""
        self.runs.append(other.per_request)
        if other.instructions < self.instructions:
            self.instructions, other.instructions = other.instructions, self.instructions
            self.dump, other.dump = other.dump, self.dump
        if other.dump is not None:
            other.dump.unlink()

    @property
    def spread(self):
        return max(self.runs) / min(self.runs) - 1


def measure(nginx, sc, cookie, bodies, warmup, requests, distinct, run):
    """Warms a scenario up, then counts its requests; every answer must take
    the scenario's path.  The dump is kept as <scenario>.<run>.callgrind."""
    pid = nginx.proc.pid
    client = Client(nginx.ports[sc.server])
    try:
        def send(i):
            status, headers, body = client.get(url_of(sc, i, distinct), cookie)
            problems, _ = check_response(sc, status, headers, body, bodies)
            if problems:
                fail(sc, problems, "\n  (request %d under callgrind)" % i)

        for i in range(warmup):
            send(-1 - i)
        before = set(nginx.prefix.glob("callgrind.out.*"))
        callgrind_control(pid, "--instr=on")
        callgrind_control(pid, "--zero")
        for i in range(requests):
            send(i)
        callgrind_control(pid, "--dump=" + sc.key)
        callgrind_control(pid, "--instr=off")
        client.finish(url_of(sc, requests, distinct), cookie)
    finally:
        client.close()
    dumps = set(nginx.prefix.glob("callgrind.out.*")) - before
    if len(dumps) != 1:
        raise BenchError("expected one new callgrind dump, found %s" % sorted(dumps))
    dump = dumps.pop()
    kept = WORK / ("%s.%d.callgrind" % (sc.key, run))
    dump.replace(kept)
    return Measured(sc, requests, dump_total(kept), kept)


class CallgrindNginx(Nginx):
    """nginx as one process under callgrind."""

    def __init__(self, name, docroot, servers):
        prefix = WORK / ("nginx-%s-callgrind" % name)
        super().__init__(prefix, docroot, servers, True, "warn", master=False,
                         zone=ZONE_OF.get(name),
                         wrapper=VALGRIND + ["--callgrind-out-file=%s" % (
                             prefix / "callgrind.out.%p")],
                         start_timeout=120, probe=False)

    def stop(self, timeout=60):
        """SIGQUIT, as for any nginx; but once vgdb has stopped it in a system
        call, valgrind holds a signal back until a system call returns, so a
        connection wakes it up."""
        proc = self.proc
        if proc is None or proc.poll() is not None:
            return
        proc.send_signal(signal.SIGQUIT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                proc.wait(timeout=0.5)
                return
            except subprocess.TimeoutExpired:
                pass
            with contextlib.suppress(OSError):
                socket.create_connection(("127.0.0.1", next(iter(self.ports.values()))),
                                         timeout=1).close()
        proc.kill()
        proc.wait()


def precheck_nginx(name, docroot, servers):
    """The same servers, with the module's debug lines, not under valgrind."""
    return Nginx(WORK / ("nginx-%s-precheck" % name), docroot, servers, True, "debug",
                 master=False, zone=ZONE_OF.get(name))


def run(groups, docroot, bodies, args, distinct_of=lambda sc: False, requests_of=None):
    """groups: {nginx name: (servers, scenarios)}.  The pre-check of every
    scenario, then the count of each, nginx by nginx."""
    results = {}
    started = time.monotonic()
    servers_running = []
    try:
        # 1. the path of every scenario, from the module's debug lines
        for name, (servers, scs) in groups.items():
            dbg = precheck_nginx(name, docroot, servers)
            servers_running.append(dbg)
            dbg.start()
            for sc in scs:
                shown = Scenario(sc.key, sc.label, sc.server, url_of(sc, 0, distinct_of(sc)),
                                 sc.visitor, sc.expect, sc.data, sc.focus)
                precheck_one(dbg, shown, shown.cookie(PEER_COOKIE), bodies)
            dbg.stop()
            dbg.assert_healthy()
            if any(servers[sc.server][1].get("access_log") == "vars" for sc in scs):
                check_variables_log(dbg)
        print("instructions: pre-check passed: every scenario takes its path (%.0f s)"
              % (time.monotonic() - started), flush=True)

        # 2. the count, under callgrind, each scenario in an nginx of its own
        # (the same configuration): what one scenario leaves in the worker's
        # heap does not change what the C library's allocator does for the next
        for name, (servers, scs) in groups.items():
            for sc in scs:
                requests = requests_of(sc) if requests_of else args.requests
                m = None
                for run_number in range(args.runs):
                    nginx = CallgrindNginx(name, docroot, servers)
                    servers_running.append(nginx)
                    nginx.start()
                    # no more warm-up than requests: on a large file with a URL
                    # of its own per request, each takes seconds
                    this = measure(nginx, sc, sc.cookie(PEER_COOKIE), bodies,
                                   min(args.warmup, requests), requests, distinct_of(sc),
                                   run_number)
                    nginx.stop()
                    nginx.assert_healthy()
                    if m is None:
                        m = this
                    else:
                        m.add(this)
                if args.keep_dumps:
                    m.dump = m.dump.replace(WORK / ("%s.callgrind" % sc.key))
                else:
                    m.dump.unlink()
                    m.dump = None
                results[sc.key] = m
                print("instructions: %4.0fs  %-26s %-9s %12s per request  (%d requests%s)" % (
                    time.monotonic() - started, sc.key, sc.visitor,
                    "{:,.0f}".format(m.per_request), requests,
                    "; runs %s" % ", ".join("{:,.0f}".format(r) for r in m.runs)
                    if len(m.runs) > 1 else ""), flush=True)
    finally:
        for server in servers_running:
            server.stop()
    return results


# ---- output -------------------------------------------------------------------

def table(results, off):
    lines = ["| scenario | visitor | instructions per request | ratio to module off |",
             "| --- | --- | ---: | ---: |"]
    for m in results.values():
        lines.append("| %s | %s | %s | %s |" % (
            m.sc.label, m.sc.visitor, "{:,.0f}".format(m.per_request),
            fmt_ratio(m.per_request / off) if off else "-"))
    return "\n".join(lines)


def variable_fields(results):
    """What five more fields cost: (the module's variables, nginx's own), or
    None when the three scenarios were not all measured."""
    keys = ("redirect-returning-zone-log", "redirect-returning-zone-log-vars",
            "redirect-returning-zone-log-nginx-vars")
    if not all(k in results for k in keys):
        return None
    base = results[keys[0]].per_request
    return results[keys[1]].per_request - base, results[keys[2]].per_request - base


def check_targets(results):
    """The targets whose two scenarios were measured."""
    out = []
    for what, key, against, limit in TARGETS:
        if key not in results or against not in results:
            continue
        ratio = results[key].per_request / results[against].per_request
        out.append({"target": what, "scenario": key, "against": against, "limit": limit,
                    "ratio": ratio, "met": ratio <= limit})
    return out


def main():
    ap = argparse.ArgumentParser(description="instructions per request under callgrind "
                                             "(see the file's doc)")
    ap.add_argument("--requests", type=int, default=2000,
                    help="measured requests per scenario (default 2000)")
    ap.add_argument("--warmup", type=int, default=200,
                    help="requests per scenario before counting (default 200)")
    ap.add_argument("--runs", type=int, default=2,
                    help="runs per scenario, each in an nginx of its own; the lowest "
                         "count stands (default 2)")
    ap.add_argument("--strict", action="store_true",
                    help="exit 1 when a target is missed")
    ap.add_argument("--only", metavar="KEY,...",
                    help="measure only these scenarios (and the targets among them); "
                         "keys: %s"
                         % ", ".join(sc.key for sc in target_scenarios()))
    ap.add_argument("--keep-dumps", action=argparse.BooleanOptionalAction, default=True,
                    help="keep each scenario's callgrind dump (default: kept)")
    scale = ap.add_argument_group("scale: one scenario on other data files and URLs")
    scale.add_argument("--scenario", default="redirect-returning",
                       choices=[sc.key for sc in target_scenarios()
                                if sc.server in ("on", "on-reference")],
                       help="the scenario (default redirect-returning)")
    scale.add_argument("--experiments", type=int, metavar="N",
                       help="a data file of N experiments (1 to 100000)")
    scale.add_argument("--targeting", type=int, metavar="K",
                       help="K experiments of the file target the URL (default of N: 1000)")
    scale.add_argument("--url-length", type=int, metavar="L",
                       help="the redirected URL made L bytes long (up to 8000)")
    scale.add_argument("--all-regex", action="store_true",
                       help="every generated condition a regular expression")
    scale.add_argument("--distinct-urls", action="store_true",
                       help="every request a URL of its own (none in the worker's memo)")
    scale.add_argument("--scale", action="store_true",
                       help="the scenario for every N of %s, K of %s (N = 1000) and L of %s "
                            "(N = 100, all regular expressions); with --distinct-urls, fewer "
                            "requests on large files" % (SCALE_EXPERIMENTS, SCALE_TARGETING,
                                                         SCALE_URL_LENGTHS))
    args = ap.parse_args()
    if args.requests < 1 or args.warmup < 0 or args.runs < 1:
        ap.error("--requests and --runs at least 1, --warmup at least 0")
    one = any(x is not None for x in (args.experiments, args.targeting, args.url_length)) \
        or args.all_regex or args.distinct_urls
    if args.experiments is not None and not 1 <= args.experiments <= 100000:
        ap.error("--experiments from 1 to 100000")
    if args.targeting is not None and not 1 <= args.targeting <= max(1000, args.experiments or 0):
        ap.error("--targeting from 1 to 1000 (at most --experiments)")
    if args.url_length is not None and not 60 <= args.url_length <= 8000:
        ap.error("--url-length from 60 to 8000")

    prepare(("valgrind", "callgrind_control"), "scripts/install-deps.sh")

    started = time.monotonic()
    if WORK.exists():
        shutil.rmtree(WORK)
    (WORK / "data").mkdir(parents=True)
    docroot = WORK / "docroot"
    bodies = make_docroot(docroot)
    info = describe()
    info.update(when=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
                warmup=args.warmup, requests=args.requests,
                command="make bench-instructions" if os.environ.get("MAKELEVEL") else
                " ".join(["scripts/bench/instructions.py"] + sys.argv[1:]))

    if args.scale or one:
        base = {sc.key: sc for sc in target_scenarios()}[args.scenario]
        if args.scale:
            variants = scale_variants(base, args.distinct_urls)
        else:
            n = args.experiments or (1000 if args.targeting else 1)
            variants = [Variant(base, n, args.targeting, args.url_length, args.all_regex,
                                args.distinct_urls)]
        scs = [v.scenario(i) for i, v in enumerate(variants)]
        servers = {}
        for sc in scs:
            path = WORK / "data" / ("%s.json" % sc.server)
            path.write_text(sc.variant.document())
            servers[sc.server] = ("on", {"data_file": path})
        results = run({"scale": (servers, scs)}, docroot, bodies, args,
                      distinct_of=lambda sc: sc.variant.distinct,
                      requests_of=lambda sc: sc.variant.requests or args.requests)
        print()
        print("| %s, %s visitor | instructions per request |" % (base.label, base.visitor))
        print("| --- | ---: |")
        for m in results.values():
            print("| %s | %s |" % (m.sc.variant.name, "{:,.0f}".format(m.per_request)))
        out = {"info": info, "scale": [
            {"scenario": base.key, "experiments": m.sc.variant.experiments,
             "targeting": m.sc.variant.targeting, "url_length": m.sc.variant.url_length,
             "all_regex": m.sc.variant.all_regex, "distinct_urls": m.sc.variant.distinct,
             "url": m.sc.url, "requests": m.requests, "instructions": m.instructions,
             "per_request": m.per_request, "runs_per_request": m.runs}
            for m in results.values()]}
        target = WORK / "scale.json"
        target.write_text(json.dumps(out, indent=2) + "\n")
        print("\ninstructions: %.0f s; wrote %s" % (time.monotonic() - started, target))
        return 0

    scs = target_scenarios()
    if args.only:
        keys = args.only.split(",")
        unknown = set(keys) - {sc.key for sc in scs}
        if unknown:
            ap.error("no scenario %s" % ", ".join(sorted(unknown)))
        scs = [sc for sc in scs if sc.key in keys]
    servers = target_servers(WORK / "data")
    groups = {name: (servers[name], [sc for sc in scs if sc.server in servers[name]])
              for name in (MAIN, ASSIGN, ZONE)}
    results = run(groups, docroot, bodies, args)
    results = {sc.key: results[sc.key] for sc in scs}
    off = results["off"].per_request if "off" in results else None
    targets = check_targets(results)
    info["elapsed_s"] = round(time.monotonic() - started, 1)
    RESULTS.write_text(json.dumps({
        "info": info,
        "scenarios": [{"key": m.sc.key, "label": m.sc.label, "visitor": m.sc.visitor,
                       "experiments": m.sc.data, "url": m.sc.url, "requests": m.requests,
                       "instructions": m.instructions, "per_request": m.per_request,
                       "runs_per_request": m.runs,
                       "ratio": m.per_request / off if off else None}
                      for m in results.values()],
        "targets": targets,
        "variable_fields": dict(zip(("module", "nginx"), variable_fields(results) or ()))},
        indent=2) + "\n")
    print()
    print("Instructions per request (user space, callgrind; %d requests per scenario after "
          "%d of warm-up), module sha256 %s…, git %s:" % (
              args.requests, args.warmup, info["module_sha"], info["git"]))
    print()
    print(table(results, off))
    print()
    apart = [m for m in results.values() if m.spread > UNSETTLED]
    if apart:
        print("The runs of %s differ by more than %.1f %%: the C library's allocator met "
              "another heap in one of them; the lower count stands.\n"
              % (", ".join(m.sc.key for m in apart), 100 * UNSETTLED))
    print("Targets:")
    for t in targets:
        print("  %-6s %s: %.3f" % ("met" if t["met"] else "MISSED", t["target"], t["ratio"]))
    if "redirect-returning-zone" in results and "redirect-returning-zone-assignments" in results:
        print("\nCounting the responses at the log phase: %s instructions per request "
              "(the zone against the zone with responses=off)" % "{:,.0f}".format(
                  results["redirect-returning-zone"].per_request
                  - results["redirect-returning-zone-assignments"].per_request))
    fields = variable_fields(results)
    if fields:
        print("\nFive more fields in the access log, per request: the module's variables %s, "
              "nginx's own variables of about the same lengths %s (nginx's log machinery "
              "spends the same on any five)" % tuple("{:,.0f}".format(f) for f in fields))
    print("\ninstructions: %.0f s; wrote %s and the dumps in %s"
          % (info["elapsed_s"], RESULTS, WORK))
    missed = [t for t in targets if not t["met"]]
    return 1 if missed and args.strict else 0


if __name__ == "__main__":
    run_main(main, "instructions")
