"""A real Prometheus for the integration tests: Debian's prometheus package,
started on a free loopback port, scraping the nginx instances it is given
every second and evaluating the rule files it is given every second."""

import json
import shutil
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

from vantorell_harness import free_port

CONFIG = """\
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: [{rules}]
scrape_configs:
  - job_name: vantorell
    metrics_path: /metrics
    static_configs:
      - targets: [{targets}]
"""


class Prometheus:
    """Scrapes /metrics of the nginx instances on the ports targets, with the
    rule files rule_files (paths), its data in folder (made here)."""

    def __init__(self, folder, targets, rule_files=()):
        self.binary = shutil.which("prometheus")
        assert self.binary, "prometheus (Debian's package) is missing"
        self.folder = folder
        folder.mkdir()
        (folder / "prometheus.yml").write_text(CONFIG.format(
            rules=", ".join(json.dumps(str(path)) for path in rule_files),
            targets=", ".join('"127.0.0.1:%d"' % p for p in targets)))
        self.proc = None

    def start(self):
        for attempt in range(3):
            self.port = free_port()
            self.log = open(self.folder / "prometheus.log", "w")
            self.proc = subprocess.Popen(
                [self.binary, "--config.file=%s" % (self.folder / "prometheus.yml"),
                 "--storage.tsdb.path=%s" % (self.folder / "data"),
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                stdout=self.log, stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 60
            while self.proc.poll() is None and time.monotonic() < deadline:
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % self.port,
                                                timeout=2) as r:
                        if r.status == 200:
                            return self
                except OSError:
                    pass
                time.sleep(0.2)
            self.stop()
            # another process may have taken the port: a new one
            if "address already in use" not in self.log_text():
                break
        pytest.fail("prometheus did not get ready:\n" + self.log_text()[-3000:])

    def log_text(self):
        return (self.folder / "prometheus.log").read_text(errors="replace")

    def api(self, path, **params):
        """The data of an answer of the HTTP API, /api/v1/<path>."""
        url = "http://127.0.0.1:%d/api/v1/%s?%s" % (self.port, path,
                                                     urllib.parse.urlencode(params))
        with urllib.request.urlopen(url, timeout=10) as r:
            answer = json.loads(r.read())
        assert answer["status"] == "success", answer
        return answer["data"]

    def query(self, expr):
        return self.api("query", query=expr)["result"]

    def wait_for(self, expr, want, seconds=60):
        """The query's {labels: value} (the metric's name left out) once it
        equals want, to rounding; the last answer at the deadline."""
        deadline = time.monotonic() + seconds
        while True:
            got = {frozenset((k, v) for k, v in s["metric"].items() if k != "__name__"):
                   float(s["value"][1]) for s in self.query(expr)}
            if got == pytest.approx(want) or time.monotonic() > deadline:
                return got
            time.sleep(0.5)

    def alerts(self):
        """The alerts that are pending or firing now, as the API gives them."""
        return self.api("alerts")["alerts"]

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
