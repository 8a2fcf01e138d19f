"""The alert rules of examples/prometheus/: promtool accepts them and passes
their unit tests (vantorell-alerts.test.yml beside them), and a real
Prometheus scraping nginx sets off an alert from what the module exports,
with its labels and texts."""

import shutil
import subprocess
import time

from vantorell_harness import ROOT, cond, experiment, group, variation
from vantorell_nginx import metrics_server as server, pages, send
from vantorell_prometheus import Prometheus

RULES = ROOT / "examples/prometheus/vantorell-alerts.yml"
RULES_TEST = ROOT / "examples/prometheus/vantorell-alerts.test.yml"


def promtool(*args):
    binary = shutil.which("promtool")
    assert binary, "promtool (Debian's prometheus package) is missing"
    p = subprocess.run([binary, *map(str, args)], capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, p.stdout + p.stderr
    return p.stdout


def test_promtool_checks_and_tests_the_rules():
    assert "SUCCESS: 3 rules found" in promtool("check", "rules", RULES)
    promtool("test", "rules", RULES_TEST)


def test_a_split_alarm_sets_off_its_alert(nginx, tmp_path):
    nginx.data.write([experiment(31, [group(cond("alpha/pages"))],
                                 [variation(1, 0.5), variation(2, 0.5)])])
    pages(nginx)
    nginx.start(http="    vantorell_metrics_zone 1m;\n" + server(nginx))
    # one returning visitor's requests, all in one variation: the assignments
    # are far off the even split, the new visitors (none) are not
    send(nginx, 1200, code="visitor000000000")

    instance = "127.0.0.1:%d" % nginx.port
    want = {"alertname": "VantorellSplitAlarm", "severity": "warning",
            "instance": instance, "job": "vantorell", "data_file": str(nginx.data.path),
            "experiment": "31", "counted": "assignments"}
    prometheus = Prometheus(tmp_path / "prometheus", [nginx.port], [RULES]).start()
    try:
        # pending: the rule's `for` is far longer than a test
        deadline = time.monotonic() + 60
        while True:
            alerts = prometheus.alerts()
            if alerts or time.monotonic() > deadline:
                break
            time.sleep(0.5)
    finally:
        prometheus.stop()
    assert [(a["labels"], a["state"]) for a in alerts] == [(want, "pending")]
    assert alerts[0]["annotations"]["summary"] == (
        "Experiment 31: the split of assignments does not follow the weights on " + instance)
