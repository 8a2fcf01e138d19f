"""The metrics zone and the status: what is counted, once per request, across
workers, data files, splits that change, a full zone and reloads; the split
check; the JSON and Prometheus texts (promtool reads the latter)."""

import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import metrics_server as server, pages, send
from vantorell_observe import code_with, data_file, number, requests, status, the_experiment

EVERYTHING = group(cond(""))
OUTCOMES = ["ignored", "flagged", "data_error", "targeting_error", "untargeted",
            "reference", "redirected", "error", "forced"]

def start(nginx, experiments, directives="", locations="", zone="1m", http=None):
    if experiments is not None:
        nginx.data.write(experiments)
    pages(nginx)
    zone_line = "    vantorell_metrics_zone %s;\n" % zone if zone else ""
    return nginx.start(http=zone_line + (http or server(nginx, directives, locations)))


def by_variation(exp):
    return {v["id"]: (v["assignments"], v["new_visitors"]) for v in exp["variations"]}


def new_code(response):
    return re.match(r"vantorellVisitorCode=([a-z0-7]{16});",
                    response.header("Set-Cookie")).group(1)


# ---- what is counted ----------------------------------------------------------

def test_new_and_returning_visitors_across_two_workers(nginx):
    # the file's order 1, 2; the choice sums from the file's last: 2 below 0.3,
    # 1 up to 0.8, the reference above
    nginx.workers = 2
    start(nginx, [experiment(7, [EVERYTHING], [variation(1, 0.5), variation(2, 0.3)])])

    def expected(code):
        u = number(code)
        return 2 if u < 0.3 else 1 if u < 0.8 else 0

    want = {0: [0, 0], 1: [0, 0], 2: [0, 0]}
    codes = []
    for _ in range(6):
        r = nginx.request("/pages/page")
        code = new_code(r)
        codes.append(code)
        want[expected(code)][0] += 1
        want[expected(code)][1] += 1
    # returning visitors: assignments only, each time they come
    for code in codes[:3] + [code_with(lambda u: u > 0.85)] * 4:
        assert nginx.request("/pages/page", headers=[("Cookie", "vantorellVisitorCode="
                                                      + code)]).status == 200
        want[expected(code)][0] += 1

    doc = status(nginx)
    exp = the_experiment(doc, nginx.data.path, 7)
    assert [(v["id"], v["expected_share"]) for v in exp["variations"]] == \
        [(0, pytest.approx(0.2)), (1, 0.5), (2, 0.3)]
    assert by_variation(exp) == {k: tuple(v) for k, v in want.items()}
    assert exp["split_check"] == {"new_visitors": {"p_value": None, "alarm": False},
                                  "assignments": {"p_value": None, "alarm": False}}
    reference = want[0][0]
    assert requests(doc, nginx.data.path) == {k: v for k, v in (("reference", reference),
                                              ("redirected", 13 - reference)) if v}
    f = data_file(doc, nginx.data.path)
    assert (f["usable"], f["problem"], f["experiments_count"]) == (True, None, 1)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", f["loaded_at"])
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", exp["counting_since"])


IGNORE_THEN_PAGE = """\
        location /quiet/ {{ vantorell_ignore true; root {prefix}; index page; }}
        location /passing/ {{ vantorell_ignore true; try_files /nothing /pages/page; }}
"""


@pytest.mark.parametrize("case, data, path, headers, outcome", [
    # an ignored location whose index redirects within itself: once
    ("ignored", "targeted", "/quiet/", [], "ignored"),
    # ignored here, decided where try_files sends it: counted there only
    ("ignored, then decided", "targeted", "/passing/x", [], "redirected"),
    ("flagged", "targeted", "/pages/page", [("vantorell-triggered", "true")], "flagged"),
    ("missing file", None, "/pages/page", [], "data_error"),
    ("bad pattern", "bad pattern", "/pages/page", [], "targeting_error"),
    ("untargeted", "targeted", "/pages/index.html", [], "untargeted"),
    ("reference", "reference", "/pages/page", [], "reference"),
    # the module's own redirect: its second pass is not a request of its own
    ("redirected", "targeted", "/pages/page", [], "redirected"),
])
def test_every_outcome_once(nginx, case, data, path, headers, outcome):
    page = group(cond("alpha/pages/page"))
    files = {
        "targeted": [experiment(3, [page], [variation(1, 1.0)])],
        "reference": [experiment(3, [page], [variation(1, 0.0)])],
        "bad pattern": [experiment(3, [group(cond("(", match="R"))], [variation(1, 1.0)])],
    }
    (nginx.prefix / "quiet").mkdir()
    (nginx.prefix / "quiet" / "page").write_text("quiet\n")
    if data is None:
        nginx.data.remove()
    start(nginx, files.get(data), locations=IGNORE_THEN_PAGE.format(prefix=nginx.prefix))
    for _ in range(3):
        assert nginx.request(path, headers=headers).status == 200
    assert requests(status(nginx), nginx.data.path) == {outcome: 3}


def test_no_zone_counts_nothing_and_status_needs_it(nginx):
    ok, said = nginx.check("    server { listen 127.0.0.1:%d; location /s { vantorell_status; } }"
                           % nginx.port)
    assert not ok
    assert "vantorell_status in %s:" % (nginx.prefix / "nginx.conf") in said
    assert "needs vantorell_metrics_zone" in said


@pytest.mark.parametrize("http, said", [
    ("    vantorell_metrics_zone 16k;\n", "vantorell_metrics_zone \"16k\" is too small"),
    ("    vantorell_metrics_zone 1m;\n    vantorell_metrics_zone 1m;\n", "is duplicate"),
    ("    vantorell_metrics_zone 1m;\n    server { location / { vantorell_status xml; } }\n",
     "invalid format \"xml\" of vantorell_status"),
    ("    vantorell_metrics_zone :1m;\n", "invalid zone name \":1m\""),
    ("    vantorell_metrics_zone counters:;\n", "invalid zone size \"counters:\""),
    ("    vantorell_metrics_zone counters:lots;\n", "invalid zone size \"counters:lots\""),
    ("    vantorell_metrics_zone counters:16k;\n",
     "vantorell_metrics_zone \"counters:16k\" is too small"),
    # the zone's name is nginx's name of it: a size alone names it vantorell_metrics
    ("    limit_req_zone $binary_remote_addr zone=counters:1m rate=1r/s;\n"
     "    vantorell_metrics_zone counters:1m;\n",
     "the shared memory zone \"counters\" is already declared for a different use"),
    ("    limit_req_zone $binary_remote_addr zone=vantorell_metrics:1m rate=1r/s;\n"
     "    vantorell_metrics_zone 1m;\n",
     "the shared memory zone \"vantorell_metrics\" is already declared for a different use"),
])
def test_directive_errors(nginx, http, said):
    ok, output = nginx.check(http)
    assert not ok and said in output


def test_two_data_files_in_two_servers(nginx):
    other = nginx.prefix / "other.json"
    other.write_text(json.dumps([experiment(9, [EVERYTHING], [variation(4, 1.0)])]))
    os.chmod(other, 0o644)
    nginx.data.write([experiment(8, [EVERYTHING], [variation(2, 1.0)])])
    pages(nginx)
    nginx.start(http="    vantorell_metrics_zone 1m;\n" + server(nginx) + server(
        nginx, "        vantorell_data_file %s;\n" % other, server_name="beta"))
    send(nginx, 3)
    send(nginx, 5, host="beta")
    doc = status(nginx, host="beta")
    assert [f["path"] for f in doc["data_files"]] == [str(nginx.data.path), str(other)]
    assert requests(doc, nginx.data.path) == {"redirected": 3}
    assert requests(doc, other) == {"redirected": 5}
    assert [e["id"] for e in data_file(doc, nginx.data.path)["experiments"]] == [8]
    assert by_variation(the_experiment(doc, other, 9)) == {0: (0, 0), 4: (5, 5)}


def test_ids_that_differ_only_above_32_bits_stay_apart(nginx):
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 1.0)]),
                  experiment(4294967297, [EVERYTHING], [variation(3, 1.0)])])
    send(nginx, 2)
    doc = status(nginx)
    assert sorted(e["id"] for e in data_file(doc, nginx.data.path)["experiments"]) == \
        [1, 4294967297]
    assert by_variation(the_experiment(doc, nginx.data.path, 4294967297))[3][0] == 2
    s = prometheus_samples(nginx.request("/metrics").body.decode("utf-8"))
    assert sorted({dict(labels)["experiment"] for name, labels in s
                   if name == "vantorell_assignments_total"}) == ["1", "4294967297"]


def test_counters_restart_when_the_split_changes(nginx):
    a = experiment(1, [EVERYTHING], [variation(1, 0.5), variation(2, 0.5)])
    b = experiment(2, [EVERYTHING], [variation(3, 1.0)])
    start(nginx, [a, b])
    send(nginx, 10)
    before = status(nginx)
    since = the_experiment(before, nginx.data.path, 1)["counting_since"]
    assert sum(n for n, _ in by_variation(the_experiment(before, nginx.data.path, 1)).values()) == 10

    time.sleep(1.1)   # counting_since has whole seconds
    # experiment 1's weights change; experiment 2 only moves in the file
    nginx.data.write([b, experiment(1, [EVERYTHING], [variation(1, 0.2), variation(2, 0.8)])])
    send(nginx, 4)
    after = status(nginx)
    one = the_experiment(after, nginx.data.path, 1)
    assert sum(n for n, _ in by_variation(one).values()) == 4
    assert one["counting_since"] > since
    assert [v["expected_share"] for v in one["variations"]] == [0, pytest.approx(0.2), 0.8]
    assert by_variation(the_experiment(after, nginx.data.path, 2))[3] == (14, 14)
    # a variation more is a change too
    nginx.data.write([b, experiment(1, [EVERYTHING], [variation(1, 0.2), variation(2, 0.3),
                                                    variation(5, 0.5)])])
    send(nginx, 2)
    one = the_experiment(status(nginx), nginx.data.path, 1)
    assert [v["id"] for v in one["variations"]] == [0, 1, 2, 5]
    assert sum(n for n, _ in by_variation(one).values()) == 2
    assert requests(status(nginx), nginx.data.path) == {"redirected": 16}


def test_a_full_zone_drops_new_keys_and_keeps_the_old(nginx):
    many = [experiment(i, [EVERYTHING], [variation(1, 1.0)]) for i in range(1, 401)]
    start(nginx, many, zone="32k")
    for _ in range(5):
        r = nginx.request("/pages/page")
        # the requests themselves: as without a zone
        assert r.status == 200 and r.body == b"/experiment_1_variation_1\n"
    doc = status(nginx)
    kept = data_file(doc, nginx.data.path)["experiments"]
    assert 0 < len(kept) < 400
    assert by_variation(the_experiment(doc, nginx.data.path, 1)) == {0: (0, 0), 1: (5, 5)}
    assert all(by_variation(e)[1] == (5, 5) for e in kept)
    assert doc["counters_dropped"] == 5 * (400 - len(kept))
    assert requests(doc, nginx.data.path) == {"redirected": 5}
    full = [line for line in nginx.log_text().splitlines() if "metrics zone is full" in line]
    assert len(full) == 1 and "[warn]" in full[0]


def workers(nginx):
    with open("/proc/%d/task/%d/children" % (nginx.proc.pid, nginx.proc.pid)) as f:
        return set(f.read().split())


def reload(nginx, http):
    """SIGHUP after rewriting the configuration; returns once the workers of
    before have gone and a new one runs."""
    old = workers(nginx)
    nginx.write_conf(http)
    nginx.proc.send_signal(signal.SIGHUP)
    deadline = time.monotonic() + 10
    while workers(nginx) & old or not workers(nginx):
        assert time.monotonic() < deadline, "the old workers stay after the reload"
        time.sleep(0.05)


def test_a_reload_keeps_the_counters_unless_the_size_changes(nginx):
    start(nginx, [experiment(4, [EVERYTHING], [variation(1, 1.0)])])
    send(nginx, 7)
    http = lambda size: "    vantorell_metrics_zone %s;\n" % size + server(nginx)
    reload(nginx, http("1m"))
    send(nginx, 2)
    doc = status(nginx)
    assert requests(doc, nginx.data.path) == {"redirected": 9}
    assert by_variation(the_experiment(doc, nginx.data.path, 4))[1] == (9, 9)
    reload(nginx, http("2m"))
    send(nginx, 1)
    doc = status(nginx)
    assert requests(doc, nginx.data.path) == {"redirected": 1}
    assert data_file(doc, nginx.data.path)["usable"] is True


def test_a_named_zone_is_the_zone_of_that_name_across_reloads(nginx):
    http = lambda zone: "    vantorell_metrics_zone %s;\n" % zone + server(nginx)
    ok, said = nginx.check(http("counters:1m"))
    assert ok, said
    start(nginx, [experiment(4, [EVERYTHING], [variation(1, 1.0)])])
    send(nginx, 7)
    # a size alone is the zone named vantorell_metrics
    reload(nginx, http("vantorell_metrics:1m"))
    send(nginx, 2)
    assert requests(status(nginx), nginx.data.path) == {"redirected": 9}
    # another name is another zone
    reload(nginx, http("counters:1m"))
    send(nginx, 1)
    doc = status(nginx)
    assert requests(doc, nginx.data.path) == {"redirected": 1}
    assert by_variation(the_experiment(doc, nginx.data.path, 4))[1] == (1, 1)


def test_a_full_zone_makes_room_from_experiments_no_model_lists(nginx):
    one = lambda eid: experiment(eid, [EVERYTHING], [variation(1, 1.0)])
    start(nginx, [one(i) for i in range(1, 401)], zone="32k")
    send(nginx, 2)
    doc = status(nginx)
    kept = sorted(e["id"] for e in data_file(doc, nginx.data.path)["experiments"])
    assert 10 < len(kept) < 400
    dropped = doc["counters_dropped"]
    assert dropped == 2 * (400 - len(kept))

    # five of the counted stay in the file; the others give way to new ids
    # of the same shape, two more than they make room for
    stay = kept[:5]
    gone = set(kept[5:])
    new = list(range(1001, 1001 + len(gone) + 2))
    nginx.data.write([one(i) for i in stay + new])
    send(nginx, 3)
    doc = status(nginx)
    counted = {e["id"]: by_variation(e) for e in data_file(doc, nginx.data.path)["experiments"]}
    assert not gone & set(counted)
    assert len(counted) == len(kept)
    # what stays listed keeps its counts
    assert all(counted[i] == {0: (0, 0), 1: (5, 5)} for i in stay)
    newly = set(counted) - set(stay)
    assert newly < set(new) and len(newly) == len(new) - 2
    assert all(counted[i] == {0: (0, 0), 1: (3, 3)} for i in newly)
    # what still finds no room is dropped, and the zone said it was full once
    assert doc["counters_dropped"] == dropped + 3 * 2
    assert requests(doc, nginx.data.path) == {"redirected": 5}
    full = [line for line in nginx.log_text().splitlines() if "metrics zone is full" in line]
    assert len(full) == 1
    prom = prometheus_samples(nginx.request("/metrics").body.decode("utf-8"))
    assert {int(dict(labels)["experiment"]) for name, labels in prom
            if name == "vantorell_assignments_total"} == set(counted)


# ---- the data file's state ----------------------------------------------------

def test_the_data_file_state(nginx):
    nginx.data.write("not json")
    start(nginx, None)
    f = data_file(status(nginx), nginx.data.path)
    # the master read it at start-up: known before any request
    assert (f["usable"], f["problem"], f["experiments_count"]) == \
        (False, "Cannot read json file.", 0)
    nginx.data.write([experiment(1, [EVERYTHING]), experiment(2, [EVERYTHING])])
    send(nginx, 1)
    f = data_file(status(nginx), nginx.data.path)
    # the last problem stays in view
    assert (f["usable"], f["problem"], f["experiments_count"]) == \
        (True, "Cannot read json file.", 2)
    # a pattern with a quote, a control and a byte that is not UTF-8
    nginx.data.write(b'[{"experimentId": 1, "baseUrl": "b", "targetingConfiguration": "P",'
                     b' "variations": [], "conditionsData": [{"orOperator": "|", "conditions":'
                     b' [{"id": 1, "orOperator": "|", "matchType": "R", "include": "Y",'
                     b' "url": "(\\"\\u0001\xff"}]}]}]')
    send(nginx, 1)
    f = data_file(status(nginx), nginx.data.path)
    assert f["usable"] is False and f["experiments_count"] == 1
    assert f["problem"].startswith('NGINX: Cannot compile regular expression: ("\x01\ufffd')
    prom = nginx.request("/metrics").body.decode("utf-8")
    assert 'vantorell_data_file_usable{data_file="%s"} 0' % nginx.data.path in prom


# ---- the split check ----------------------------------------------------------

def test_the_split_check_sees_a_flood_in_assignments_only(nginx):
    start(nginx, [experiment(5, [EVERYTHING], [variation(1, 0.25), variation(2, 0.25)])])
    # a fair feed of new visitors: random codes.  (A fair feed alarms with a
    # chance of 0.001, as the check means to.)
    send(nginx, 1500)
    check = the_experiment(status(nginx), nginx.data.path, 5)["split_check"]
    for counted in ("new_visitors", "assignments"):
        assert check[counted]["p_value"] is not None
        assert check[counted]["alarm"] is False
    # one returning code floods the server
    send(nginx, 1500, code=code_with(lambda u: u < 0.2))
    exp = the_experiment(status(nginx), nginx.data.path, 5)
    assert exp["split_check"]["assignments"]["alarm"] is True
    assert exp["split_check"]["assignments"]["p_value"] < 0.001
    assert exp["split_check"]["new_visitors"]["alarm"] is False
    assert sum(n for _, n in by_variation(exp).values()) == 1500


def test_one_visitor_id_without_its_cookie_cannot_set_off_the_split_check(nginx):
    start(nginx, [experiment(5, [EVERYTHING], [variation(1, 0.25), variation(2, 0.25)])],
          directives="        vantorell_visitor_id $http_x_account_id;\n")
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    for _ in range(1200):
        conn.request("GET", "/pages/page", headers={"Host": "alpha", "X-Account-Id": "user-42"})
        r = conn.getresponse()
        r.read()
        assert r.status == 200
    conn.close()
    exp = the_experiment(status(nginx), nginx.data.path, 5)
    assert exp["split_check"]["new_visitors"]["alarm"] is False
    assert sum(n for _, n in by_variation(exp).values()) == 0
    assert sum(a for a, _ in by_variation(exp).values()) == 1200


# ---- the texts ----------------------------------------------------------------

@pytest.mark.parametrize("method, status_code", [("POST", 405), ("DELETE", 405), ("HEAD", 200)])
def test_status_methods(nginx, method, status_code):
    start(nginx, [])
    r = nginx.request("/status", method=method)
    assert r.status == status_code
    assert r.body == b"" or method != "HEAD"


def prometheus_samples(text):
    """{(name, frozenset(labels)): value} of an exposition."""
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = re.fullmatch(r'(\w+)(?:\{(.*)\})? (\S+)', line)
        assert m, line
        labels = re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or "")
        samples[(m.group(1), frozenset(labels))] = float(m.group(3))
    return samples


def test_prometheus_exposition_passes_promtool(nginx):
    promtool = shutil.which("promtool")
    assert promtool, "promtool (Debian's prometheus package) is missing"
    # a path with a quote, a backslash and a letter outside ASCII
    folder = nginx.prefix / 'a"b\\c\u00e9'
    folder.mkdir()
    os.chmod(folder, 0o755)
    path = folder / "data.json"
    path.write_text(json.dumps([experiment(6, [EVERYTHING],
                                           [variation(1, 0.3), variation(1, 0.2)])]))
    os.chmod(path, 0o644)
    pages(nginx)
    quoted = str(path).replace("\\", "\\\\").replace('"', '\\"')
    nginx.start(http="    vantorell_metrics_zone 1m;\n" + server(
        nginx, '        vantorell_data_file "%s";\n' % quoted))
    send(nginx, 1200)
    r = nginx.request("/metrics")
    assert r.status == 200
    assert r.header("Content-Type").startswith("text/plain; version=0.0.4")
    text = r.body.decode("utf-8")
    p = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True,
                       text=True, timeout=30)
    assert p.returncode == 0, p.stdout + p.stderr

    label = 'a\\"b\\\\c\u00e9'
    s = prometheus_samples(text)
    df = ("data_file", str(folder).replace("\\", "\\\\").replace('"', '\\"') + "/data.json")
    assert label in df[1]
    exp = {df, ("experiment", "6")}
    # the id that stands twice is one variation with both shares
    assert s[("vantorell_expected_share", frozenset(exp | {("variation", "1")}))] == 0.5
    assert s[("vantorell_expected_share", frozenset(exp | {("variation", "0")}))] == 0.5
    assigned = [s[("vantorell_assignments_total", frozenset(exp | {("variation", v)}))]
                for v in ("0", "1")]
    assert sum(assigned) == 1200
    assert s[("vantorell_requests_total", frozenset({df, ("outcome", "redirected")}))] == \
        assigned[1]
    for counted in ("new_visitors", "assignments"):
        labels = frozenset(exp | {("counted", counted)})
        assert 0 <= s[("vantorell_split_p_value", labels)] <= 1
        assert s[("vantorell_split_alarm", labels)] in (0, 1)
    assert s[("vantorell_data_file_usable", frozenset({df}))] == 1
    assert s[("vantorell_data_file_experiments", frozenset({df}))] == 1
    assert s[("vantorell_counters_dropped_total", frozenset())] == 0
    # the same numbers as the JSON
    doc = status(nginx)
    assert [v["assignments"] for v in data_file(doc, path)["experiments"][0]["variations"]] == \
        assigned
