"""A real Prometheus scrapes two nginx instances that share one data file, and
sums their counters as docs/metrics.md tells operators to, recording rule
included."""

import json

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import Nginx, metrics_server as server, pages, send
from vantorell_observe import data_file
from vantorell_prometheus import Prometheus

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

    rules = tmp_path / "rules.yml"
    rules.write_text(RULES)
    prometheus = Prometheus(tmp_path / "prometheus", [nginx.port, second.port],
                            [rules]).start()
    try:
        assert prometheus.wait_for(FLEET_SUM, want) == want
        shares = {k: v / 500 for k, v in want.items()}
        assert prometheus.wait_for("experiment_variation:vantorell_new_visitors:share",
                                   shares) == pytest.approx(shares)
        # both instances were scraped, as two series per variation
        assert len(prometheus.query("vantorell_new_visitors_total")) == 2 * len(want)
    finally:
        prometheus.stop()
