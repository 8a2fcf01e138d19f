"""Integration fixtures: the built nginx with the module loaded, its data
file, an upstream that echoes what it received, and the module's log lines.

Every test's nginx reads a data file of its own, in its prefix, so tests run
in parallel (pytest -n).  Tests of the default path itself are marked
default_data_file: they use /tmp/vantorell-data.json and take turns with
everything else on the host that writes it."""

import http.client
import http.server
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from vantorell_harness import (DATA_FILE, FAILURE_MARKS, MODULE, NGINX,  # noqa: E402
                               SANITIZER_MARKS, DataFileLock, NginxDidNotStart, free_port,
                               log_size, module_lines, start_nginx, stop_nginx)


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


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "default_data_file: the test's nginx reads the default data file, "
        "/tmp/vantorell-data.json, under the lock that every writer of it takes")


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


# ---- echo upstream ----------------------------------------------------------

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


class EchoHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        send_json(self, 200, {"path": self.path, "headers": self.headers.items()})

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


class Nginx:
    """An nginx in prefix whose data file is data.  With names_data_file, the
    http level of every configuration names that file (vantorell_data_file),
    a server's own directive still overriding it; without, the configuration
    is as the test writes it."""

    def __init__(self, prefix, upstream_port, data, names_data_file=True):
        self.prefix = Path(prefix)
        self.port = free_port()
        self.upstream = upstream_port
        self.data = data
        self.names_data_file = names_data_file
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

    def request(self, path="/", headers=(), host="alpha", method="GET", timeout=10):
        """One request on its own connection.  headers is a list of pairs, so a
        name may repeat.  The module's log lines of the request are in .log."""
        self.mark()
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
        return module_lines(self.log_path, self.log_offset)

    # lines that say nothing about the module (see the TLS tests)
    tolerated = ()

    def assert_healthy(self):
        text = "\n".join(line for line in self.log_text().splitlines()
                         if not any(t in line for t in self.tolerated))
        for bad in FAILURE_MARKS + SANITIZER_MARKS:
            assert bad not in text, text[-2000:]


@pytest.fixture
def nginx(request, tmp_path, upstream):
    """An nginx of the test's own: its prefix is tmp_path, its data file
    nginx.data.  Under the default_data_file mark that file is the default
    one, which the configuration does not name."""
    os.chmod(tmp_path, 0o755)
    if request.node.get_closest_marker("default_data_file") is None:
        instance = Nginx(tmp_path, upstream, DataFile(tmp_path / "data.json"))
        yield instance
        instance.stop()
        instance.assert_healthy()
        return
    with DataFileLock():
        data = KeptDefaultDataFile()
        instance = Nginx(tmp_path, upstream, data, names_data_file=False)
        try:
            yield instance
            instance.stop()
            instance.assert_healthy()
        finally:
            instance.stop()
            data.restore()
