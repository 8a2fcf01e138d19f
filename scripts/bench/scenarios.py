"""What the two benchmarks share: bench.py (requests/s with wrk, side by side)
and instructions.py (instructions per request under valgrind's callgrind).

Both measure the same scenarios (module off, module on with and without a
data file, untargeted, reference, redirected, nginx's own split_clients peer),
on the same static pages and nginx configurations, and both prove first that
each scenario's request takes the path it is named after: the module's debug
lines, the headers and the body.  A benchmark of the wrong path is worse than
none: any mismatch stops it.  Pages that a scenario must not reach do not
exist (the redirected URL has no file of its own, the reference experiment's
variation has no location file), so a request that takes the wrong path
during a measurement is a 404.
"""

import hashlib
import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/support"))
import make_data  # noqa: E402
from vantorell_harness import (FAILURE_MARKS, MODULE, NGINX, ROOT, NginxDidNotStart,  # noqa: E402
                               free_port, log_size, module_lines, start_nginx, stop_nginx)

OUT = ROOT / "build/bench"

HOST = make_data.HOST
RETURNING_CODE = "benchreturning01"          # 16 characters, like a real code
MODULE_COOKIE = "vantorellVisitorCode=" + RETURNING_CODE
PAGE_SIZE = 612                              # bytes, every page and variation alike


class BenchError(Exception):
    pass


class Stop(BaseException):
    """A signal: unwinds through every finally so nginx stops and the data
    file is put back."""


def on_signal(signum, _frame):
    raise Stop("signal %d" % signum)


def run_main(main, name):
    """Runs a benchmark's main: its status (None: 0), 1 when it failed, 130
    when a signal stopped it."""
    try:
        sys.exit(main())
    except BenchError as e:
        print("%s: FAILED: %s" % (name, e), file=sys.stderr)
        sys.exit(1)
    except Stop as e:
        print("%s: stopped (%s)" % (name, e), file=sys.stderr)
        sys.exit(130)


def prepare(tools, installer):
    """What a benchmark needs before it starts: its tools (installer installs
    them), the built nginx and module; and a signal unwinds it (Stop)."""
    for tool in tools:
        if shutil.which(tool) is None:
            raise BenchError("%s is missing: run %s" % (tool, installer))
    for f in (NGINX, MODULE):
        if not f.exists():
            raise BenchError("%s is missing: run make" % f)
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)


# ---- scenarios ----------------------------------------------------------------

class Scenario:
    """One measured case.  server: the name of the server block that answers
    (off, on, split... as the nginx running it names them); data: None (no
    data file) or the number of experiments; expect: the path the request
    must take (page, nodata, untargeted, reference, redirect, split)."""

    def __init__(self, key, label, server, url, visitor, expect, data=None, focus="redirect"):
        self.key, self.label, self.server, self.url = key, label, server, url
        self.visitor, self.expect, self.data, self.focus = visitor, expect, data, focus

    def cookie(self, split_cookie):
        if self.visitor != "returning":
            return None
        return split_cookie if self.expect == "split" else MODULE_COOKIE


# ---- files --------------------------------------------------------------------

def page_body(name):
    head = "<!doctype html><html><head><title>%s</title></head><body><p>%s</p>" % (name, name)
    tail = "</body></html>\n"
    return (head + "." * (PAGE_SIZE - len(head) - len(tail)) + tail).encode()


def variation_path(eid, vid):
    return "/experiment_%d_variation_%d" % (eid, vid)


def make_docroot(root):
    """The static pages.  Only what a scenario may legitimately reach exists."""
    if root.exists():
        shutil.rmtree(root)
    pages = {
        "/about/team": "page /about/team",
        "/shop/category/bags": "page /shop/category/bags",
    }
    for vid in make_data.REDIRECT_VARIATIONS:
        path = variation_path(make_data.REDIRECT_ID, vid)
        pages[path] = "variation " + path
    bodies = {}
    for path, name in pages.items():
        f = root / path.lstrip("/")
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_bytes(page_body(name))
        bodies[path] = page_body(name)
    for d in [root] + [p for p in root.rglob("*")]:
        os.chmod(d, 0o755 if d.is_dir() else 0o644)
    return bodies


# ---- nginx --------------------------------------------------------------------

CONF = """\
{user}
{load_module}
worker_processes {workers};
{affinity}
daemon off;
master_process {master};
error_log {prefix}/error.log {level};
pid {prefix}/nginx.pid;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    default_type text/html;
{zone}
    # one connection serves a whole measurement: the per-request cost, not
    # the connection setup, is what is compared
    keepalive_requests 1000000;
    keepalive_timeout 60s;
    client_body_temp_path {prefix}/tmp;
    proxy_temp_path {prefix}/tmp;
    fastcgi_temp_path {prefix}/tmp;
    uwsgi_temp_path {prefix}/tmp;
    scgi_temp_path {prefix}/tmp;
    root {docroot};

    # nginx's own way of splitting traffic, the peer: a visitor id in a cookie
    # (userid), hashed into a variation by split_clients, and a rewrite there.
    split_clients "${{uid_got}}${{uid_set}}" $bench_split_target {{
        50% {variation1};
        *   {variation2};
    }}

{log_formats}
    # any other Host is refused: a client must send the Host the conditions name
    server {{
{catchall_listens}
        server_name _;
        return 421;
    }}
{servers}
}}
"""

# The locations of the module-on server, so that module off differs from it
# only by the module: nginx tries the regular-expression location on every
# request that no prefix location settles.
OFF_SERVER = """
    server {{
        listen 127.0.0.1:{port};
        server_name {host};
{directive}
        location / {{ add_header X-Bench-Location page; }}
        location ~ ^/experiment_\\d+_variation_\\d+$ {{ add_header X-Bench-Location variation; }}
    }}
"""

ON_SERVER = """
    server {{
        listen 127.0.0.1:{port};
        server_name {host};
        vantorell_module on;{data_file}{access_log}
        location / {{ add_header X-Bench-Location page; }}
        location ~ ^/experiment_\\d+_variation_\\d+$ {{ add_header X-Bench-Location variation; }}
    }}
"""

# An access log without the module's variables, and the same with all five
# (buffered, as a busy site writes it): what an exposure log costs.
LOG_FORMATS = """
    log_format bench_plain '$remote_addr [$time_local] "$request" $status $body_bytes_sent';
    log_format bench_vars '$remote_addr [$time_local] "$request" $status $body_bytes_sent '
                          '$vantorell_visitor_code $vantorell_visitor_new '
                          '"$vantorell_experiments" $vantorell_experiment $vantorell_variation';
    log_format bench_nginx_vars '$remote_addr [$time_local] "$request" $status $body_bytes_sent '
                                '$cookie_vantorellVisitorCode $pipe '
                                '"$server_port" $request_method $pipe';
"""

ACCESS_LOGS = {
    "none": "",
    "plain": "\n        access_log {prefix}/access-plain.log bench_plain buffer=64k;",
    "vars": "\n        access_log {prefix}/access-vars.log bench_vars buffer=64k;",
    # five of nginx's own variables of about the same lengths: what nginx's
    # log machinery spends on five more fields, whoever's they are
    "nginx-vars": "\n        access_log {prefix}/access-nginx-vars.log bench_nginx_vars buffer=64k;",
}

# A metrics zone, in the http block: it counts every server of its nginx, so
# the scenarios of a zone have an nginx of their own.
ZONES = {"zone": "    vantorell_metrics_zone 1m;",
         "zone-assignments": "    vantorell_metrics_zone 1m responses=off;"}

SPLIT_SERVER = """
    server {{
        listen 127.0.0.1:{port};
        server_name {host};
        userid on;
        userid_name uid;
        userid_path /;
        userid_expires 14d;
        location / {{ add_header X-Bench-Location page; }}
        location /promo/ {{ rewrite ^ $bench_split_target last; }}
        location ~ ^/experiment_\\d+_variation_\\d+$ {{ add_header X-Bench-Location variation; }}
    }}
"""


class Nginx:
    """An nginx of the benchmarks in a prefix of its own.  servers: {name:
    (kind, options)}, kind off (the module off, or not loaded), on (options
    access_log: a name of ACCESS_LOGS; data_file: a path instead of the
    default) or split (the peer); each server gets a port of its own (ports[name]).
    zone: a name of ZONES, its directive in the http block.  wrapper: a
    command that runs nginx (valgrind); probe: whether starting connects to
    every port (start_nginx)."""

    def __init__(self, prefix, docroot, servers, with_module, level, *, workers=1,
                 affinity="", zone=None, master=True, wrapper=(), start_timeout=10.0,
                 probe=True):
        self.prefix = Path(prefix)
        self.probe = probe
        self.with_module = with_module
        self.wrapper = list(wrapper)
        self.start_timeout = start_timeout
        # in the servers' order: nginx allocates its structures for the ports
        # in their numeric order, and the same order every run keeps what the
        # C library's allocator meets the same (instructions.py counts it)
        self.ports = dict(zip(servers, sorted(free_port() for _ in servers)))
        if self.prefix.exists():
            shutil.rmtree(self.prefix)
        (self.prefix / "tmp").mkdir(parents=True)
        os.chmod(self.prefix, 0o755)
        blocks = "".join(self.server_block(kind, self.ports[name], **options)
                         for name, (kind, options) in servers.items())
        listens = "\n".join("        listen 127.0.0.1:%d default_server;" % p
                            for p in sorted(set(self.ports.values())))
        conf = CONF.format(
            user="user root;" if os.geteuid() == 0 else "",
            load_module="load_module %s;" % MODULE if with_module else "",
            affinity=affinity, workers=workers, master="on" if master else "off",
            prefix=self.prefix, level=level, docroot=docroot, catchall_listens=listens,
            log_formats=LOG_FORMATS if with_module else "",
            zone=ZONES[zone] if zone else "",
            servers=blocks,
            variation1=variation_path(make_data.REDIRECT_ID, make_data.REDIRECT_VARIATIONS[0]),
            variation2=variation_path(make_data.REDIRECT_ID, make_data.REDIRECT_VARIATIONS[1]))
        self.conf = self.prefix / "nginx.conf"
        self.conf.write_text(conf)
        self.proc = None
        self.log_offset = 0

    def server_block(self, kind, port, access_log="none", data_file=None):
        if kind == "off":
            return OFF_SERVER.format(port=port, host=HOST,
                                     directive="        vantorell_module off;"
                                     if self.with_module else "")
        if kind == "split":
            return SPLIT_SERVER.format(port=port, host=HOST)
        return ON_SERVER.format(
            port=port, host=HOST,
            data_file="\n        vantorell_data_file %s;" % data_file if data_file else "",
            access_log=ACCESS_LOGS[access_log].format(prefix=self.prefix))

    @property
    def log_path(self):
        return self.prefix / "error.log"

    def start(self):
        try:
            self.proc = start_nginx(self.prefix, self.conf, self.ports.values(),
                                    timeout=self.start_timeout, wrapper=self.wrapper,
                                    probe=self.probe)
        except NginxDidNotStart as e:
            raise BenchError(str(e))
        return self

    def stop(self, timeout=15):
        stop_nginx(self.proc, timeout=timeout)

    def mark(self):
        self.log_offset = log_size(self.log_path)

    def module_lines(self):
        return module_lines(self.log_path, self.log_offset)

    def assert_healthy(self):
        text = self.log_path.read_text(errors="replace") if self.log_path.exists() else ""
        for bad in FAILURE_MARKS:
            if bad in text:
                raise BenchError("nginx logged %s:\n%s" % (bad, text[-2000:]))

    def request(self, port, url, cookie):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.putrequest("GET", url, skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", HOST)
        if cookie:
            conn.putheader("Cookie", cookie)
        conn.putheader("Connection", "close")
        conn.endheaders()
        resp = conn.getresponse()
        result = (resp.status, resp.getheaders(), resp.read())
        conn.close()
        return result


# ---- sanity checks ------------------------------------------------------------

def check_response(sc, status, headers, body, bodies):
    """The path a scenario's request took, from what it got back."""
    def header(name):
        return [v for k, v in headers if k.lower() == name.lower()]

    where = header("X-Bench-Location")
    cookies = header("Set-Cookie")
    module_cookies = [c for c in cookies if c.startswith("vantorellVisitorCode=")]
    problems = []
    if status != 200:
        problems.append("status %d" % status)
    if sc.expect == "redirect" or sc.expect == "split":
        if where != ["variation"]:
            problems.append("served by %s, not by the variation location" % where)
        if body not in [bodies[variation_path(make_data.REDIRECT_ID, v)]
                        for v in make_data.REDIRECT_VARIATIONS]:
            problems.append("the body is not a variation page")
    else:
        if where != ["page"]:
            problems.append("served by %s, not by the page's location" % where)
        path = sc.url.split("?")[0]
        if body != bodies.get(path):
            problems.append("the body is not the page %s" % path)
    if sc.expect in ("reference", "redirect"):
        if len(module_cookies) != 1:
            problems.append("expected one visitor cookie, got %s" % cookies)
        elif sc.visitor == "returning" and not module_cookies[0].startswith(MODULE_COOKIE + ";"):
            problems.append("the returning visitor's code was not kept: %s" % module_cookies[0])
    elif module_cookies:
        problems.append("unexpected visitor cookie %s" % module_cookies)
    if sc.expect == "split":
        uid = [c for c in cookies if c.startswith("uid=")]
        if sc.visitor == "new" and len(uid) != 1:
            problems.append("the peer gave a new visitor no uid cookie: %s" % cookies)
        if sc.visitor == "returning" and uid:
            problems.append("the peer did not recognise the returning visitor: %s" % uid)
    return problems, cookies


def check_log(sc, lines):
    """The module's own account of the request (debug level, pre-check only)."""
    def has(text):
        return any(text == line or line.startswith(text) for line in lines)

    problems = []
    if sc.expect in ("page", "split"):
        if lines:
            problems.append("the module logged %s" % lines)
    elif sc.expect == "nodata":
        if not has("Issue with configuration: Cannot read json file."):
            problems.append("no data-file failure logged: %s" % lines)
    elif sc.expect == "untargeted":
        if lines != ["Not targeted by any experiment."]:
            problems.append("not an untargeted request: %s" % lines)
    else:
        eid = make_data.REDIRECT_ID if sc.expect == "redirect" else make_data.REFERENCE_ID
        url_text = HOST + sc.url
        targeted = "Url: %s is targeted by experiment: %d" % (url_text, eid)
        # nginx cuts a long line short (2 KB with its prefix)
        if not any(line.startswith(targeted) or (len(line) > 1000 and targeted.startswith(line))
                   for line in lines):
            problems.append("experiment %d did not target %s: %s"
                            % (eid, shorter(url_text), [shorter(x) for x in lines]))
        if sc.visitor == "new" and not has("Generating a new cookie value:"):
            problems.append("no new code for a new visitor: %s" % lines)
        if sc.visitor == "returning":
            if has("Generating a new cookie value:"):
                problems.append("a new code for a returning visitor: %s" % lines)
            if not has("Visitor Code: %s" % RETURNING_CODE):
                problems.append("the returning visitor's code was not used: %s" % lines)
        if sc.expect == "redirect":
            if not has("Added flag to stop targeting.") or \
                    lines[-1:] != ["Triggered flag found with value: true"]:
                problems.append("not redirected: %s" % lines)
        elif not has("Redirected to the reference."):
            problems.append("not kept on the reference: %s" % lines)
    return problems


def shorter(text, most=200):
    return text if len(text) <= most else "%s... (%d bytes)" % (text[:most], len(text))


def fail(sc, problems, extra=""):
    raise BenchError("scenario %s (%s, %s visitor, %s experiments, %s) takes the wrong path:\n  %s%s"
                     % (sc.key, sc.label, sc.visitor, sc.data, shorter(sc.url),
                        "\n  ".join(problems), extra))



def precheck_one(server, sc, cookie, bodies):
    """One request of a scenario to an nginx whose error log is at debug
    level: its answer and the module's lines prove the path; the cookies it
    set."""
    server.mark()
    status, headers, body = server.request(server.ports[sc.server], sc.url, cookie)
    time.sleep(0.05)       # the redirected pass may log just after the answer
    problems, cookies = check_response(sc, status, headers, body, bodies)
    problems += check_log(sc, server.module_lines())
    if problems:
        fail(sc, problems)
    return cookies


def check_variables_log(nginx):
    """The access log of the module's variables holds the returning visitor's
    assignment, not empty variables."""
    logged = (nginx.prefix / "access-vars.log").read_text()
    if not re.search(' %s 0 "[^"]*%d=\\d+[^"]*" %d \\d+$' % (
            RETURNING_CODE, make_data.REDIRECT_ID, make_data.REDIRECT_ID), logged, re.M):
        raise BenchError("the access log of the variables lacks the assignment:\n" + logged)


def peer_cookie(cookies):
    """The peer's visitor cookie for a returning visitor, from the Set-Cookie
    headers of its answer to a new one."""
    return [c for c in cookies if c.startswith("uid=")][0].split(";")[0]


# ---- what was measured --------------------------------------------------------

def fmt_ratio(v):
    return "%.3f" % v if v >= 0.01 else "%.4f" % v


def describe():
    """The build measured: nginx, the module (and a digest of it), the work tree."""
    def run(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=10,
                                  cwd=ROOT).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return ""
    head = run(["git", "rev-parse", "--short", "HEAD"]) or "?"
    if run(["git", "status", "--porcelain", "--", "module"]):
        head += " (module/ has uncommitted changes)"
    version = subprocess.run([str(NGINX), "-v"], capture_output=True, text=True).stderr.strip()
    return {
        "nginx": version.replace("nginx version: ", ""),
        "nginx_path": os.path.relpath(NGINX, ROOT),
        "module": os.path.relpath(MODULE, ROOT),
        "module_sha": hashlib.sha256(MODULE.read_bytes()).hexdigest()[:12],
        "git": head,
    }
