"""Integration fixtures: the built nginx with the module loaded, a data file,
an upstream that echoes what it received, and the module's log lines."""

import fcntl
import http.client
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# absolute: nginx reads a relative load_module path from its prefix, not from here
NGINX = Path(os.environ.get("VANTORELL_NGINX", ROOT / "build/nginx/sbin/nginx")).absolute()
MODULE = Path(os.environ.get("VANTORELL_MODULE",
                             ROOT / "build/nginx/modules/ngx_http_vantorell_module.so")).absolute()
DATA_FILE = Path("/tmp/vantorell-data.json")


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

LOG_LINE = re.compile(r"\[debug\] \d+#\d+: \*\d+ (.*?)(?:, client: .*)?$")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- data file --------------------------------------------------------------

def experiment(eid, groups, variations=(), letter="P", base="http://example.test"):
    """One experiment object of the data file."""
    return {"baseUrl": base, "experimentId": eid, "targetingConfiguration": letter,
            "variations": list(variations), "conditionsData": list(groups)}


def variation(vid, weight, redirection="http://example.test/v"):
    return {"redirection": redirection, "id": vid, "weight": weight}


def group(*conditions, op="|"):
    return {"orOperator": op, "conditions": list(conditions)}


def cond(url, match="C", include="Y", op="|", cid=1):
    return {"orOperator": op, "id": cid, "url": url, "matchType": match, "include": include}


class DataFile:
    def __init__(self, path=DATA_FILE):
        self.path = Path(path)

    def write(self, content):
        """Writes experiments (a list) as JSON, or raw text/bytes as they are."""
        if isinstance(content, (list, dict)):
            content = json.dumps(content)
        if isinstance(content, str):
            content = content.encode()
        tmp = self.path.with_suffix(".tmp")
        tmp.write_bytes(content)
        os.chmod(tmp, 0o644)
        os.replace(tmp, self.path)

    def remove(self):
        try:
            self.path.unlink()
        except FileNotFoundError:
            pass


@pytest.fixture(scope="session")
def data_file_lock():
    """The data file's path is fixed: suites that run at the same time on one
    host (another checkout, another nginx version) take turns."""
    with open("/tmp/vantorell-tests.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


@pytest.fixture
def data_file(data_file_lock):
    d = DataFile()
    d.remove()
    yield d
    d.remove()


# ---- echo upstream ----------------------------------------------------------

# the echo must take requests with thousands of headers, as nginx does
http.client._MAXHEADERS = 100000


class EchoHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({"path": self.path, "headers": self.headers.items()}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def upstream():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), EchoHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.server_address[1]
    server.shutdown()


# ---- nginx ------------------------------------------------------------------

class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers          # list of (name, value), as sent
        self.body = body

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
worker_processes 1;
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
    upstream echo {{ server 127.0.0.1:{upstream}; }}
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


class Nginx:
    def __init__(self, prefix, upstream_port):
        self.prefix = Path(prefix)
        self.port = free_port()
        self.upstream = upstream_port
        self.proc = None
        self.log_offset = 0
        (self.prefix / "tmp").mkdir(exist_ok=True)

    @property
    def log_path(self):
        return self.prefix / "error.log"

    def server(self, directives="", locations="", server_name="alpha", port=None):
        return SERVER.format(port=port or self.port, server_name=server_name,
                             directives=directives, locations=locations)

    def write_conf(self, http):
        user = "user root;" if os.geteuid() == 0 else ""
        conf = CONF.format(user=user, module=MODULE, prefix=self.prefix,
                           upstream=self.upstream, http=http)
        path = self.prefix / "nginx.conf"
        path.write_text(conf)
        return path

    def check(self, http):
        """nginx -t on a configuration: (ok, output)."""
        conf = self.write_conf(http)
        p = subprocess.run([str(NGINX), "-t", "-p", str(self.prefix), "-c", str(conf)],
                           capture_output=True, text=True, timeout=30)
        # nginx -t keeps its stderr: a sanitized build reports there
        assert "Sanitizer" not in p.stderr and "runtime error:" not in p.stderr, p.stderr
        return p.returncode == 0, p.stderr

    def start(self, http=None, **server):
        if http is None:
            http = self.server(**server)
        conf = self.write_conf(http)
        self.proc = subprocess.Popen([str(NGINX), "-p", str(self.prefix), "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("nginx did not start: " + self.proc.stderr.read().decode())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise RuntimeError("nginx did not listen")
        self.mark()
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def mark(self):
        self.log_offset = self.log_path.stat().st_size if self.log_path.exists() else 0

    def request(self, path="/", headers=(), host="alpha", method="GET"):
        """One request on its own connection.  headers is a list of pairs, so a
        name may repeat.  The module's log lines of the request are in .log."""
        self.mark()
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
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
        result.log = self.log_since_mark()
        return result

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
        with open(self.log_path, "rb") as f:
            f.seek(self.log_offset)
            text = f.read().decode(errors="replace")
        lines = []
        for line in text.splitlines():
            m = LOG_LINE.search(line)
            if m:
                lines.append(m.group(1))
        return lines

    # lines that say nothing about the module (see the TLS tests)
    tolerated = ()

    def assert_healthy(self):
        text = "\n".join(line for line in self.log_text().splitlines()
                         if not any(t in line for t in self.tolerated))
        # the last two: reports of a sanitized build (make test-sanitize), whose
        # workers write them to stderr, which nginx points at this log
        for bad in ("[alert]", "[emerg]", "exited on signal", "[crit]",
                    "Sanitizer", "runtime error:"):
            assert bad not in text, text[-2000:]


@pytest.fixture
def site(tmp_path, upstream):
    """An nginx whose data file lives in its own prefix (site.data, named by
    site.data_directive): it runs alongside any other test."""
    os.chmod(tmp_path, 0o755)
    instance = Nginx(tmp_path, upstream)
    instance.data = DataFile(tmp_path / "data.json")
    instance.data_directive = "        vantorell_data_file %s;\n" % instance.data.path
    yield instance
    instance.stop()
    instance.assert_healthy()


@pytest.fixture
def nginx(tmp_path, upstream, data_file):
    os.chmod(tmp_path, 0o755)
    instance = Nginx(tmp_path, upstream)
    yield instance
    instance.stop()
    instance.assert_healthy()
