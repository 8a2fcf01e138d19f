"""The alert rules of examples/prometheus/: promtool accepts them and passes
their unit tests (vantorell-alerts.test.yml beside them), and a real
Prometheus scraping nginx sets off an alert from what the module exports,
with its labels and texts."""

import http.client
import re
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


def alerts_of(nginx, tmp_path, names):
    """The alerts a real Prometheus sees from nginx, once those named are
    there: {alertname: [alert, ...]}."""
    prometheus = Prometheus(tmp_path / "prometheus", [nginx.port], [RULES]).start()
    try:
        deadline = time.monotonic() + 60
        while True:
            alerts = {}
            for a in prometheus.alerts():
                alerts.setdefault(a["labels"]["alertname"], []).append(a)
            if set(names) <= set(alerts) or time.monotonic() > deadline:
                return alerts
            time.sleep(0.5)
    finally:
        prometheus.stop()


def test_a_split_alarm_sets_off_its_alert(nginx, tmp_path):
    nginx.data.write([experiment(31, [group(cond("alpha/pages"))],
                                 [variation(1, 0.5), variation(2, 0.5)])])
    pages(nginx)
    nginx.start(http="    vantorell_metrics_zone 1m;\n" + server(nginx))
    # one returning visitor's requests, all in one variation: the assignments
    # are far off the even split, the new visitors (none) are not
    send(nginx, 1200, code="visitor000000000")

    instance = "127.0.0.1:%d" % nginx.port
    alerts = alerts_of(nginx, tmp_path, ["VantorellSplitAlarm"])
    # pending: the rule's `for` is far longer than a test
    assert [(a["labels"], a["state"]) for a in alerts.pop("VantorellSplitAlarm")] == [
        ({"alertname": "VantorellSplitAlarm", "severity": "warning", "instance": instance,
          "job": "vantorell", "data_file": str(nginx.data.path), "experiment": "31",
          "counted": "assignments"}, "pending")]
    assert alerts == {}


def test_a_failing_variation_sets_off_the_errors_and_stopped_alerts(nginx, tmp_path):
    nginx.data.write([experiment(32, [group(cond("alpha/pages"))],
                                 [variation(1, 0.5), variation(2, 0.5)])])
    pages(nginx)
    nginx.start(http="    vantorell_metrics_zone 1m;\n" + server(
        nginx, "        vantorell_guardrail stop;\n",
        "        location = /experiment_32_variation_2 { return 500; }\n"))
    # new visitors, half of them to the variation that fails
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    for _ in range(1200):
        conn.request("GET", "/pages/page", headers={"Host": "alpha"})
        conn.getresponse().read()
    conn.close()

    instance = "127.0.0.1:%d" % nginx.port
    labels = {"instance": instance, "job": "vantorell", "data_file": str(nginx.data.path),
              "experiment": "32"}
    alerts = alerts_of(nginx, tmp_path, ["VantorellErrorsAlarm", "VantorellVariationStopped"])
    [errors] = alerts["VantorellErrorsAlarm"]
    assert errors["labels"] == dict(labels, alertname="VantorellErrorsAlarm",
                                    severity="critical")
    assert errors["state"] == "pending"
    # the p-value and the worst variation, from the nginx's own series
    assert re.search(r" \(p = \d\S*\)\. Variation 2 answers 5xx to 100% of its requests\.",
                     errors["annotations"]["description"])
    [stopped] = alerts["VantorellVariationStopped"]
    assert stopped["labels"] == dict(labels, alertname="VantorellVariationStopped",
                                     severity="warning", variation="2")
    assert stopped["state"] == "firing"
    assert stopped["annotations"]["summary"] == \
        "Experiment 32: variation 2 stopped on " + instance
