"""A real Prometheus scrapes two nginx instances that share one data file, and
sums their counters as docs/metrics.md tells operators to, recording rule
included."""

import json
import shutil
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

from vantorell_harness import cond, experiment, free_port, group, variation
from vantorell_nginx import Nginx, metrics_server as server, pages, send
from vantorell_observe import data_file

# the fleet-wide query and recording rule of docs/metrics.md
FLEET_SUM = "sum by (experiment, variation) (vantorell_new_visitors_total)"
RULES = """\
groups:
  - name: vantorell
    rules:
      - record: experiment_variation:vantorell_new_visitors:share
        expr: >
          sum by (experiment, variation) (vantorell_new_visitors_total)
          / ignoring (variation) group_left
          sum by (experiment) (vantorell_new_visitors_total)
"""
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
    def __init__(self, folder, targets):
        self.binary = shutil.which("prometheus")
        assert self.binary, "prometheus (Debian's package) is missing"
        self.folder = folder
        folder.mkdir()
        (folder / "rules.yml").write_text(RULES)
        (folder / "prometheus.yml").write_text(CONFIG.format(
            rules=json.dumps(str(folder / "rules.yml")),
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

    def query(self, expr):
        url = "http://127.0.0.1:%d/api/v1/query?%s" % (
            self.port, urllib.parse.urlencode({"query": expr}))
        with urllib.request.urlopen(url, timeout=10) as r:
            answer = json.loads(r.read())
        assert answer["status"] == "success", answer
        return answer["data"]["result"]

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

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


@pytest.fixture
def second(nginx, tmp_path, upstream):
    """A second nginx with the first one's data file."""
    prefix = tmp_path / "second"
    prefix.mkdir()
    instance = Nginx(prefix, upstream, nginx.data)
    yield instance
    instance.stop()
    instance.assert_healthy()


def test_prometheus_sums_the_fleet(nginx, second, tmp_path):
    nginx.data.write([experiment(21, [group(cond("alpha/pages"))],
                                 [variation(1, 0.3), variation(2, 0.3)])])
    for instance in (nginx, second):
        pages(instance)
        instance.start(http="    vantorell_metrics_zone 1m;\n" + server(instance))
    send(nginx, 300)
    send(second, 200)

    # what each instance counted, from its own status
    want = {}
    for instance in (nginx, second):
        doc = json.loads(instance.request("/status").body)
        for v in data_file(doc, nginx.data.path)["experiments"][0]["variations"]:
            key = frozenset({("experiment", "21"), ("variation", str(v["id"]))})
            want[key] = want.get(key, 0) + v["new_visitors"]
    assert sum(want.values()) == 500

    prometheus = Prometheus(tmp_path / "prometheus", [nginx.port, second.port]).start()
    try:
        assert prometheus.wait_for(FLEET_SUM, want) == want
        shares = {k: v / 500 for k, v in want.items()}
        assert prometheus.wait_for("experiment_variation:vantorell_new_visitors:share",
                                   shares) == pytest.approx(shares)
        # both instances were scraped, as two series per variation
        assert len(prometheus.query("vantorell_new_visitors_total")) == 2 * len(want)
    finally:
        prometheus.stop()
