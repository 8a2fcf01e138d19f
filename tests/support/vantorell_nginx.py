"""The nginx of an integration test: its data file, its configuration, the
echo upstream's answer, pages in its prefix, requests and responses, and the
counters through which a test sees how the module ended each request.

Every nginx has a prefix, a port and a data file of its own, so tests run in
parallel (pytest -n).  The fixtures that make one are in
tests/integration/conftest.py."""

import contextlib
import http.client
import http.server
import json
import os
import re
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from vantorell_harness import (DATA_FILE, FAILURE_MARKS, MODULE, NGINX, SANITIZER_MARKS,
                               NginxDidNotStart, free_port, log_size, module_lines,
                               start_nginx, stop_nginx)
from vantorell_observe import data_file_requests


def nginx_release():
    """The release of the nginx under test, (1, 18, 0): a few things that the
    tests see through nginx itself changed between releases."""
    try:
        said = subprocess.run([str(NGINX), "-v"], capture_output=True, text=True,
                              timeout=30).stderr
    except OSError as e:
        raise RuntimeError("cannot run %s (make builds it): %s" % (NGINX, e)) from None
    m = re.search(r"nginx/(\d+)\.(\d+)\.(\d+)", said)
    if m is None:
        raise RuntimeError("%s -v said: %r" % (NGINX, said))
    return tuple(int(n) for n in m.groups())


NGINX_RELEASE = nginx_release()


# ---- data file --------------------------------------------------------------

class DataFile:
    def __init__(self, path):
        self.path = Path(path)

    def write(self, content):
        """Writes experiments (a list) as JSON, or raw text/bytes as they are,
        atomically: a worker never reads a half-written file."""
        if isinstance(content, (list, dict)):
            content = json.dumps(content)
        if isinstance(content, str):
            content = content.encode()
        tmp = self.path.with_name(self.path.name + ".tmp")
        tmp.write_bytes(content)
        os.chmod(tmp, 0o644)
        os.replace(tmp, self.path)

    def rewrite_in_place(self, content):
        """Truncates the file and writes content into it, as an editor may."""
        with open(self.path, "r+") as f:
            f.truncate(0)
            f.write(content)

    def remove(self):
        try:
            self.path.unlink()
        except FileNotFoundError:
            pass


class KeptDefaultDataFile(DataFile):
    """The default data file, for one test: what was there before the test
    (a host's own experiments) is put back after it."""

    def __init__(self):
        super().__init__(DATA_FILE)
        self.saved = None
        if os.path.lexists(self.path):
            if self.path.is_symlink() or not self.path.is_file():
                pytest.fail("%s is not a regular file; not touching it" % self.path)
            self.saved = (self.path.read_bytes(), self.path.stat())
        self.remove()

    def restore(self):
        if self.saved is None:
            self.remove()
            return
        content, st = self.saved
        self.write(content)
        os.chmod(self.path, st.st_mode & 0o7777)
        try:
            os.chown(self.path, st.st_uid, st.st_gid)
        except PermissionError:
            pass
        os.utime(self.path, ns=(st.st_atime_ns, st.st_mtime_ns))


# ---- upstreams ----------------------------------------------------------------

# the echo must take requests with thousands of headers, as nginx does
http.client._MAXHEADERS = 100000


def send_json(handler, status, payload):
    """Answers the request a BaseHTTPRequestHandler holds with JSON."""
    body = json.dumps(payload).encode()
    handler.send_response(status)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


@contextlib.contextmanager
def serving(handler):
    """An HTTP server of handler on 127.0.0.1, in a thread of its own, for
    the block: its port."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()


class EchoHandler(http.server.BaseHTTPRequestHandler):
    """The echo upstream: answers with the path and the headers it received,
    as JSON (see echoed() in vantorell_observe)."""

    def do_GET(self):
        send_json(self, 200, {"path": self.path, "headers": self.headers.items()})

    def log_message(self, *args):
        pass


# ---- nginx ------------------------------------------------------------------

class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers          # list of (name, value), as sent
        self.body = body
        # the module's debug lines of the request
        self.log = []
        # with Nginx.counting: the outcomes the request added to the status
        # page's counters of the data file, {"redirected": 1}; {} for none
        self.counted = None

    def header(self, name):
        values = self.all(name)
        return values[0] if values else None

    def all(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def json(self):
        return json.loads(self.body)


CONF = """\
{user}
load_module {module};
worker_processes {workers};
daemon off;
master_process on;
error_log {prefix}/error.log debug;
pid {prefix}/nginx.pid;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {prefix}/tmp;
    proxy_temp_path {prefix}/tmp;
    fastcgi_temp_path {prefix}/tmp;
    uwsgi_temp_path {prefix}/tmp;
    scgi_temp_path {prefix}/tmp;
{data_file}    upstream echo {{ server 127.0.0.1:{upstream}; }}
{http}
}}
"""

# A server block whose pages and variation locations all go to the echo upstream.
SERVER = """\
    server {{
        listen 127.0.0.1:{port};
        server_name {server_name};
{directives}
        location / {{ proxy_pass http://echo; }}
{locations}
    }}
"""

# What Nginx.counting adds to a configuration: a metrics zone, and the status
# page in a server of its own, last on the test's port so that the test's
# first server stays the default one.  The status takes no part in
# experiments and is not counted.
COUNTING_ZONE = "    vantorell_metrics_zone 1m;\n"
STATUS_HOST = "vantorell-status"
STATUS_PATH = "/vantorell-status"
STATUS_SERVER = """\
    server {{
        listen 127.0.0.1:{port};
        server_name %s;
        location = %s {{ vantorell_status; }}
    }}
""" % (STATUS_HOST, STATUS_PATH)


class Nginx:
    """An nginx in prefix whose data file is data.  With names_data_file, the
    http level of every configuration names that file (vantorell_data_file),
    a server's own directive still overriding it; without, the configuration
    is as the test writes it.  With counting, every request's outcome is read
    from the status page's counters (Response.counted)."""

    def __init__(self, prefix, upstream_port, data, names_data_file=True):
        self.prefix = Path(prefix)
        self.port = free_port()
        self.upstream = upstream_port
        self.data = data
        self.names_data_file = names_data_file
        self.counting = False
        self.proc = None
        self.log_offset = 0
        # the workers' user (root's, when the tests run as root) and
        # environment (this process's), for a test to change
        self.user = "root" if os.geteuid() == 0 else None
        self.env = None
        self.workers = 1
        (self.prefix / "tmp").mkdir(exist_ok=True)

    @property
    def log_path(self):
        return self.prefix / "error.log"

    def server(self, directives="", locations="", server_name="alpha", port=None):
        return SERVER.format(port=port or self.port, server_name=server_name,
                             directives=directives, locations=locations)

    def write_conf(self, http):
        user = "user %s;" % self.user if self.user else ""
        data_file = ("    vantorell_data_file %s;\n" % self.data.path
                     if self.names_data_file else "")
        if self.counting:
            http = COUNTING_ZONE + http + STATUS_SERVER.format(port=self.port)
        conf = CONF.format(user=user, module=MODULE, prefix=self.prefix, data_file=data_file,
                           upstream=self.upstream, http=http, workers=self.workers)
        path = self.prefix / "nginx.conf"
        path.write_text(conf)
        return path

    def check(self, http):
        """nginx -t on a configuration: (ok, output)."""
        conf = self.write_conf(http)
        p = subprocess.run([str(NGINX), "-t", "-p", str(self.prefix), "-c", str(conf)],
                           capture_output=True, text=True, timeout=30)
        # nginx -t keeps its stderr: a sanitized build reports there
        assert not any(mark in p.stderr for mark in SANITIZER_MARKS), p.stderr
        return p.returncode == 0, p.stderr

    def start(self, http=None, **server):
        if http is None:
            http = self.server(**server)
        for attempt in range(3):
            conf = self.write_conf(http)
            try:
                self.proc = start_nginx(self.prefix, conf, [self.port], env=self.env)
                break
            except NginxDidNotStart as e:
                # tests run in parallel: another process may have taken the
                # port since free_port(); move this nginx to another one
                if not e.port_taken or attempt == 2:
                    raise
                self.log_path.unlink(missing_ok=True)  # its [emerg] is not the test's
                old, self.port = self.port, free_port()
                http = re.sub(r"127\.0\.0\.1:%d(?!\d)" % old, "127.0.0.1:%d" % self.port, http)
        self.mark()
        return self

    def stop(self):
        stop_nginx(self.proc)

    def mark(self):
        self.log_offset = log_size(self.log_path)

    def exchange(self, path="/", headers=(), host="alpha", method="GET", timeout=10):
        """One request on its own connection, nothing else: the Response."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        if host is not None:
            conn.putheader("Host", host)
        for name, value in headers:
            conn.putheader(name, value)
        conn.putheader("Connection", "close")
        conn.endheaders()
        resp = conn.getresponse()
        result = Response(resp.status, resp.getheaders(), resp.read())
        conn.close()
        return result

    def request(self, path="/", headers=(), host="alpha", method="GET", timeout=10):
        """One request on its own connection.  headers is a list of pairs, so a
        name may repeat.  The module's debug lines of the request are in .log;
        with counting, the outcomes it added in .counted."""
        before = self.outcomes() if self.counting else None
        self.mark()
        result = self.exchange(path, headers, host, method, timeout)
        result.log = self.log_since_mark()
        if before is not None:
            after = self.outcomes()
            result.counted = {k: after.get(k, 0) - before.get(k, 0)
                              for k in set(before) | set(after)
                              if after.get(k, 0) != before.get(k, 0)}
        return result

    def status_page(self):
        """With counting: the status page, as JSON."""
        r = self.exchange(STATUS_PATH, host=STATUS_HOST)
        assert r.status == 200, (r.status, r.body[:300])
        return json.loads(r.body.decode("utf-8"))

    def outcomes(self):
        """With counting: the status page's counts of the outcomes of requests
        that read this nginx's data file, those that are not 0:
        {"untargeted": 2}."""
        return data_file_requests(self.status_page(), self.data.path)

    def raw(self, data):
        """Sends bytes as they are on a connection of their own; the answer's
        bytes and the module's log lines of the request."""
        self.mark()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(data)
            chunks = []
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        return b"".join(chunks), self.log_since_mark()

    def log_text(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def log_since_mark(self):
        # the request's lines are written before its response; the last of them
        # (after a redirect) may trail the response by a moment
        time.sleep(0.02)
        return module_lines(self.log_path, self.log_offset)

    # lines that say nothing about the module (see the TLS tests)
    tolerated = ()

    def assert_healthy(self):
        text = "\n".join(line for line in self.log_text().splitlines()
                         if not any(t in line for t in self.tolerated))
        for bad in FAILURE_MARKS + SANITIZER_MARKS:
            assert bad not in text, text[-2000:]


# ---- pages and requests ---------------------------------------------------------

def pages(nginx, *names):
    """Files in pages/ of the nginx's prefix (a page the module sees must be
    served by something else than `return`)."""
    root = nginx.prefix / "pages"
    root.mkdir(exist_ok=True)
    for name in names or ("page", "index.html"):
        (root / name).write_text(name + "\n")
    os.chmod(root, 0o755)


PROMO_PAGE = b"promo page\n"


def promo_page(nginx):
    """html/promo/index.html in the nginx's prefix, a page served through an
    index redirect; returns the html folder."""
    html = nginx.prefix / "html"
    (html / "promo").mkdir(parents=True)
    (html / "promo" / "index.html").write_bytes(PROMO_PAGE)
    return html


# Pages are files of the prefix; variation locations answer at once, naming
# themselves; the status as JSON and as Prometheus's text.
METRICS_LOCATIONS = """\
        location = /status {{ vantorell_status; }}
        location = /metrics {{ vantorell_status prometheus; }}
        location ~ ^/experiment_ {{ return 200 "$uri\\n"; }}
        location /pages/ {{ root {prefix}; }}
"""


def metrics_server(nginx, directives="", locations="", **kw):
    """A server block with the module on, pages, variation locations and the
    status (a metrics zone must be named at the http level)."""
    return nginx.server(directives="        vantorell_module on;\n" + directives,
                        locations=METRICS_LOCATIONS.format(prefix=nginx.prefix) + locations,
                        **kw)


def send(nginx, n, path="/pages/page", code=None, host="alpha"):
    """n requests on keep-alive connections (no pause for the log, unlike
    nginx.request); every answer must be a 200."""
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    headers = {"Host": host}
    if code is not None:
        headers["Cookie"] = "vantorellVisitorCode=" + code
    for _ in range(n):
        conn.request("GET", path, headers=headers)
        r = conn.getresponse()
        r.read()
        assert r.status == 200
    conn.close()
