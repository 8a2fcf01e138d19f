"""What the integration tests, the benchmark, the soak and the valgrind check
share to run the built nginx with the module: which build, free ports, the
data file's default path and the lock around it, data-file builders, starting
and stopping nginx, and the module's debug lines in the error log.

Import it after putting this folder on sys.path:

    sys.path.insert(0, str(ROOT / "tests/support"))
    import vantorell_harness

From a shell, `vantorell_harness.py free-port` prints a free port of 127.0.0.1.
"""

import errno
import fcntl
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# Absolute: nginx reads a relative load_module path from its prefix, not from
# the folder it was started in.
NGINX = Path(os.environ.get("VANTORELL_NGINX", ROOT / "build/nginx/sbin/nginx")).absolute()
MODULE = Path(os.environ.get("VANTORELL_MODULE",
                             ROOT / "build/nginx/modules/ngx_http_vantorell_module.so")).absolute()
# vantorell-check, built from the same core by make
CHECK = Path(os.environ.get("VANTORELL_CHECK", ROOT / "build/bin/vantorell-check")).absolute()

# The module's default data file (vantorell_data_file), and the lock through
# which everything that writes it on this host takes turns: test runs of other
# checkouts or releases, the benchmark, the soak, the valgrind check.
DATA_FILE = Path("/tmp/vantorell-data.json")
LOCK_FILE = Path("/tmp/vantorell-tests.lock")

# Error-log marks of a fault: a worker that died or nginx reporting trouble.
FAILURE_MARKS = ("[alert]", "[crit]", "[emerg]", "exited on signal")
# Reports of a sanitized build (make test-sanitize), whose workers write them
# to stderr, which nginx points at the error log.
SANITIZER_MARKS = ("Sanitizer", "runtime error:")


def free_port():
    """A port of 127.0.0.1 that nobody listens on at the moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DataFileLock:
    """The lock around DATA_FILE, held from acquire() to release() (or as a
    context manager).  Blocks until it is free, or for `wait` seconds at most
    (TimeoutError); `waiting` is called once when someone else holds it."""

    def __init__(self, path=LOCK_FILE):
        self.path = Path(path)
        self.file = None

    def acquire(self, wait=None, waiting=None):
        self.file = open(self.path, "w")
        deadline = None if wait is None else time.monotonic() + wait
        told = False
        while True:
            try:
                fcntl.flock(self.file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return self
            except BlockingIOError:
                pass
            if deadline is not None and time.monotonic() > deadline:
                self.release()
                raise TimeoutError("%s stayed locked for %d s" % (self.path, wait))
            if not told and waiting is not None:
                waiting()
                told = True
            time.sleep(0.2)

    def release(self):
        if self.file is not None:
            fcntl.flock(self.file, fcntl.LOCK_UN)
            self.file.close()
            self.file = None

    def __enter__(self):
        return self.acquire()

    def __exit__(self, *exc):
        self.release()


# ---- data file builders -----------------------------------------------------
# The members in the order the benchmark's files have always had them (the
# module reads them by name): a file of the same experiments is the same bytes.

def experiment(eid, groups, variations=(), letter="P", base="http://example.test"):
    """One experiment object of the data file."""
    return {"experimentId": eid, "baseUrl": base, "targetingConfiguration": letter,
            "variations": list(variations), "conditionsData": list(groups)}


def variation(vid, weight, redirection="http://example.test/v"):
    return {"id": vid, "weight": weight, "redirection": redirection}


def group(*conditions, op="|"):
    """A condition group; op joins it to the groups before it."""
    return {"orOperator": op, "conditions": list(conditions)}


def cond(url, match="C", include="Y", op="|", cid=1):
    """A condition: match C contains, E equals, R regular expression; op joins
    it to the conditions before it in its group."""
    return {"id": cid, "orOperator": op, "matchType": match, "url": url, "include": include}


# ---- nginx --------------------------------------------------------------------

class NginxDidNotStart(RuntimeError):
    def __init__(self, message, output=""):
        super().__init__(message + output)
        self.output = output

    @property
    def port_taken(self):
        """Another process took a port between free_port() and nginx's bind.
        nginx 1.18 built on this glibc knows the texts of only the first 41
        error numbers, so it writes EADDRINUSE as "(98: Unknown error)"."""
        return ("Address already in use" in self.output
                or "(%d: " % errno.EADDRINUSE in self.output)


def _listening_inodes(port):
    """The inodes of the sockets that listen on 127.0.0.1:port (or on any
    address at that port)."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            address, hex_port = fields[1].split(":")
            if int(hex_port, 16) == port and fields[3] == "0A" \
                    and address in ("0100007F", "00000000"):
                inodes.add(fields[9])
    return inodes


def _holds_listener(pid, port):
    """Whether process pid holds a socket that listens on port: a connection
    that succeeds may be answered by another process that took the port."""
    wanted = {"socket:[%s]" % inode for inode in _listening_inodes(port)}
    if not wanted:
        return False
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) in wanted:
                return True
        except OSError:
            pass
    return False


def start_nginx(prefix, conf, ports, timeout=10.0, nginx=NGINX, env=None, wrapper=(),
                probe=True):
    """Starts nginx in the foreground (the configuration says `daemon off;`)
    and waits until its master holds a listening socket on every port and
    that port accepts connections; the process, whose stderr is a pipe.
    NginxDidNotStart when it exits or does not listen in time (a port that
    another process took makes nginx retry its bind, then exit).  env: the
    environment, when not this process's own.  wrapper: a command that runs
    nginx in its own process (valgrind), before nginx's.  probe=False: no
    connection to try a port, whose handling would come before anything
    else the caller sends (the listening socket alone is waited for)."""
    proc = subprocess.Popen([*wrapper, str(nginx), "-p", str(prefix), "-c", str(conf)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    deadline = time.monotonic() + timeout
    for port in sorted(set(ports)):
        while True:
            if proc.poll() is not None:
                raise NginxDidNotStart("nginx did not start: ", proc.stderr.read().decode())
            try:
                if _holds_listener(proc.pid, port):
                    if probe:
                        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                stop_nginx(proc)
                raise NginxDidNotStart("nginx did not listen on %d" % port)
            time.sleep(0.05)
    return proc


def stop_nginx(proc, timeout=10.0):
    """A graceful stop (SIGQUIT), killed when it takes longer than timeout."""
    if proc is not None and proc.poll() is None:
        proc.send_signal(signal.SIGQUIT)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# ---- the module's log lines ---------------------------------------------------

# "2026/12/10 14:00:00 [debug] 12#12: *3 <text>, client: ..., server: ..."
LOG_LINE = re.compile(r"\[debug\] \d+#\d+: \*\d+ (.*?)(?:, client: .*)?$")


def module_lines(log_path, offset=0):
    """The texts of the debug lines about a request in an error log, from byte
    offset on (nginx's own debug trace, on a --with-debug build, included)."""
    with open(log_path, "rb") as f:
        f.seek(offset)
        text = f.read().decode(errors="replace")
    return [m.group(1) for m in map(LOG_LINE.search, text.splitlines()) if m]


def log_size(log_path):
    """Where the next line of a log will start: an offset for module_lines."""
    try:
        return os.stat(log_path).st_size
    except FileNotFoundError:
        return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["free-port"]:
        print(free_port())
    else:
        sys.exit("usage: vantorell_harness.py free-port")
