"""Each variation's responses at the proxy: counted by the class of the final
status and by the time they took; the errors check over them; and the
guardrail, which stops giving a variation that fails more than the others."""

import http.client
import json
import re
import select
import socket
import subprocess
import time

import pytest

from vantorell_harness import CHECK, cond, experiment, group, variation
from vantorell_nginx import pages
from vantorell_observe import as_visitor, code_with, status, the_experiment

EVERYTHING = group(cond(""))

# variation 1 takes the numbers below 0.5, the reference the rest
HALF = [experiment(7, [EVERYTHING], [variation(1, 0.5)])]
VARIATION = code_with(lambda u: u < 0.45)
REFERENCE = code_with(lambda u: u > 0.55)

# The reference is a page of the prefix; variation 1 answers with the status
# the request's argument s names, or 500 for a share of requests (the last
# digit of n below `failing`), as the reference does under `fail_reference`.
LOCATIONS = """\
        add_header X-Worker $pid always;
        add_header X-Variation $vantorell_variation always;
        location = /status {{ vantorell_status; }}
        location = /metrics {{ vantorell_status prometheus; }}
        location = /experiment_7_variation_1 {{
            if ($arg_s = 503) {{ return 503; }}
            if ($arg_s = 404) {{ return 404; }}
            if ($arg_s = 302) {{ return 302 /elsewhere; }}
{failing}            return 200 "variation\\n";
        }}
        location /pages/ {{
            root {prefix};
            {reference}
        }}
        location /big/ {{ root {prefix}; limit_rate 10k; }}
{more}"""


# the reference's upstream, under fail_reference: 500 for a share of requests
BACKEND = """\
    server {
        listen 127.0.0.1:PORT;
        server_name backend;
        location / {
            if ($arg_n ~ "[0-4]$") { return 500; }
            return 200 "page\\n";
        }
    }
"""


def start(nginx, directives="", failing=-1, fail_reference=False, workers=1, more=""):
    nginx.data.write(HALF)
    pages(nginx)
    (nginx.prefix / "big").mkdir()
    # 30 KB at 10 KB/s: nginx lets the first second's bytes go at once and
    # counts whole seconds, so the body takes more than one second
    (nginx.prefix / "big" / "file").write_bytes(b"x" * 30 * 1024)
    nginx.workers = workers
    # a reference that fails must fail after the module assigned the request,
    # as an upstream does: a return of the rewrite phase comes first
    reference = ("proxy_set_header Host backend; proxy_pass http://127.0.0.1:%d;"
                 % nginx.port if fail_reference else "")
    fail = ('            if ($arg_n ~ "[0-%d]$") { return 500; }\n' % failing
            if failing >= 0 else "")
    locations = LOCATIONS.format(prefix=nginx.prefix, reference=reference, failing=fail,
                                 more=more)
    server = nginx.server(
        directives="        vantorell_module on;\n"
                   "        vantorell_experiments_header on;\n"
                   "        vantorell_force $http_x_force;\n" + directives,
        locations=locations)
    # each connection to one of the workers, as the kernel spreads them
    server = server.replace("listen 127.0.0.1:%d;" % nginx.port,
                            "listen 127.0.0.1:%d reuseport;" % nginx.port)
    return nginx.start(http="    vantorell_metrics_zone 1m;\n" + server
                       + BACKEND.replace("PORT", str(nginx.port)))


def variations(nginx):
    return {v["id"]: v for v in the_experiment(status(nginx), nginx.data.path, 7)["variations"]}


def test_responses_by_class_and_time(nginx):
    start(nginx)
    sent = [
        # (visitor, path, extra headers, answer)
        (VARIATION, "/pages/page", [], 200),
        (VARIATION, "/pages/page?s=404", [], 404),
        (VARIATION, "/pages/page?s=302", [], 302),
        (VARIATION, "/pages/page?s=503", [], 503),
        (REFERENCE, "/pages/page", [], 200),
        (REFERENCE, "/pages/missing", [], 404),
        (REFERENCE, "/big/file", [], 200),
        # a QA preview is no assignment, but its response is variation 1's
        (REFERENCE, "/pages/page?s=503", [("X-Force", "7=1")], 503),
    ]
    for code, path, headers, answer in sent:
        assert nginx.request(path, headers=as_visitor(code) + headers).status == answer
    # nginx itself answers a request it cannot take: no variation, no count
    assert nginx.request("/pages/page", host=None).status == 400

    got = variations(nginx)
    assert got[1]["responses"] == {"2xx": 1, "3xx": 1, "4xx": 1, "5xx": 2}
    assert got[1]["assignments"] == 4
    assert got[0]["responses"] == {"2xx": 2, "3xx": 0, "4xx": 1, "5xx": 0}
    for v in got.values():
        seconds = v["response_seconds"]
        counts = [n for _, n in seconds["buckets"]]
        assert [le for le, _ in seconds["buckets"]] == [
            0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, "+Inf"]
        assert counts == sorted(counts)
        assert seconds["count"] == counts[-1] == sum(v["responses"].values())
        assert v["stopped"] is False
    # the big file took over a second: above the 0.5 bound
    reference = got[0]["response_seconds"]
    assert dict(map(tuple, reference["buckets"]))[0.5] <= 2
    assert reference["sum"] >= 1.0
    check = the_experiment(status(nginx), nginx.data.path, 7)["errors_check"]
    assert check == {"p_value": None, "alarm": False, "worst_variation": None}


def test_a_client_that_closes_first_counts_as_4xx(nginx):
    # an upstream that takes the connection and never answers
    with socket.socket() as hanging:
        hanging.bind(("127.0.0.1", 0))
        hanging.listen(8)
        start(nginx, more="        location /hang/ { proxy_pass http://127.0.0.1:%d; }\n"
              % hanging.getsockname()[1])
        with socket.create_connection(("127.0.0.1", nginx.port), timeout=10) as client:
            client.sendall(b"GET /hang/x HTTP/1.1\r\nHost: alpha\r\n"
                           b"Cookie: vantorellVisitorCode=" + REFERENCE.encode() + b"\r\n\r\n")
            # nginx waits on the upstream: the client leaves before any answer
            assert select.select([hanging], [], [], 10)[0]
        for _ in range(200):
            got = variations(nginx)[0]["responses"]
            if sum(got.values()):
                break
            time.sleep(0.05)
    assert got == {"2xx": 0, "3xx": 0, "4xx": 1, "5xx": 0}


def failing_traffic(nginx, n=1300):
    """n new visitors on keep-alive connections, n=0, 1, 2...: a share of them
    fails where the test's locations say; the workers that answered."""
    workers = set()
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    for i in range(n):
        if i % 100 == 0:
            conn.close()
            conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
        conn.request("GET", "/pages/page?n=%d" % i, headers={"Host": "alpha"})
        r = conn.getresponse()
        r.read()
        assert r.status in (200, 500)
        workers.add(r.getheader("X-Worker"))
    conn.close()
    return workers


STOPPED = re.compile(r"\[warn\] .*vantorell: experiment 7: variation 1 stopped: "
                     r"5xx (\d+\.\d)% against 0\.0% \(p = ([0-9.e+-]+)\)")


@pytest.mark.parametrize("guardrail, fail_reference, stopped", [
    ("stop", False, True),
    # the alarm alone: the operator decides
    ("off", False, False),
    # the reference is never stopped: there is nothing to fall back to
    ("stop", True, False),
])
def test_the_errors_alarm_and_the_guardrail(nginx, guardrail, fail_reference, stopped):
    start(nginx, "        vantorell_guardrail %s;\n" % guardrail,
          failing=-1 if fail_reference else 4, fail_reference=fail_reference, workers=2)
    failing_traffic(nginx)

    doc = status(nginx)
    exp = the_experiment(doc, nginx.data.path, 7)
    assert exp["errors_check"]["alarm"] is True
    assert exp["errors_check"]["p_value"] < 0.001
    assert exp["errors_check"]["worst_variation"] == (0 if fail_reference else 1)
    assert [v["stopped"] for v in exp["variations"]] == [False, stopped]
    metrics = nginx.request("/metrics").body.decode()
    assert re.search(r'vantorell_variation_stopped\{data_file="%s",experiment="7",variation="1"\} %d'
                     % (re.escape(str(nginx.data.path)), stopped), metrics)
    assert re.search(r'vantorell_errors_alarm\{data_file="%s",experiment="7"\} 1'
                     % re.escape(str(nginx.data.path)), metrics)

    warned = STOPPED.findall(nginx.log_text())
    assert len(warned) == (1 if stopped else 0)

    # a returning visitor of variation 1, on whichever worker answers
    workers = set()
    for _ in range(40):
        r = nginx.request("/pages/page", headers=as_visitor(VARIATION))
        workers.add(r.header("X-Worker"))
        if stopped:
            assert (r.status, r.body, r.header("X-Variation")) == (200, b"page\n", "0")
        else:
            assert r.header("X-Variation") == "1"
        if len(workers) == 2:
            break
    if stopped:
        # every new visitor now gets the reference, on every worker
        before = variations(nginx)
        workers |= failing_traffic(nginx, 200)
        after = variations(nginx)
        assert after[1]["assignments"] == before[1]["assignments"]
        assert after[0]["assignments"] >= before[0]["assignments"] + 200
        assert len(workers) == 2


def test_a_stop_lasts_until_the_counters_restart(nginx):
    start(nginx, "        vantorell_guardrail stop;\n", failing=4)
    failing_traffic(nginx)
    assert variations(nginx)[1]["stopped"] is True
    r = nginx.request("/pages/page", headers=as_visitor(VARIATION))
    assert r.header("X-Variation") == "0"
    assert "Variation 1 of experiment 7 is stopped by the guardrail: the reference instead" \
        in "\n".join(r.log)

    # explain shows the same under the stop; a QA preview still reaches the
    # stopped variation
    for force, header, location in [(None, "7=0", None),
                                     ("7=1", "7=1", "/experiment_7_variation_1")]:
        r = nginx.request("/pages/page", headers=as_visitor(VARIATION)
                          + ([("X-Force", force)] if force else []))
        assert r.header("X-Variation") == header[2:]
        said = explain(nginx.data.path, "--code", VARIATION, "--stopped", "7=1",
                       *(["--force", force] if force else []))
        assert (said["header"], said["location"]) == (header, location)

    # the same split read again: still stopped
    nginx.data.write(HALF)
    assert nginx.request("/pages/page", headers=as_visitor(VARIATION)).header("X-Variation") == "0"

    # new weights: the counters restart, and the stop with them
    nginx.data.write([experiment(7, [EVERYTHING], [variation(1, 0.49)])])
    r = nginx.request("/pages/page", headers=as_visitor(VARIATION))
    assert r.header("X-Variation") == "1"
    got = variations(nginx)
    assert [v["stopped"] for v in got.values()] == [False, False]
    assert got[1]["responses"]["5xx"] + got[1]["responses"]["2xx"] == 1


def explain(data_path, *options):
    p = subprocess.run([str(CHECK), "explain", str(data_path), "/pages/page", "--host", "alpha",
                        "--format", "json", *options], capture_output=True, text=True, timeout=30)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


def test_the_guardrail_needs_the_responses(nginx):
    for http in ["", "    vantorell_metrics_zone 1m responses=off;\n"]:
        ok, said = nginx.check(http + nginx.server(directives="        vantorell_guardrail stop;\n"))
        assert not ok
        assert "vantorell_guardrail stop needs the responses that vantorell_metrics_zone counts" in said
    ok, said = nginx.check("    vantorell_metrics_zone 1m responses=maybe;\n" + nginx.server())
    assert not ok and 'invalid parameter "responses=maybe"' in said


def test_responses_off_counts_assignments_only(nginx):
    nginx.data.write(HALF)
    pages(nginx)
    nginx.start(http="    vantorell_metrics_zone 1m responses=off;\n" + nginx.server(
        directives="        vantorell_module on;\n",
        locations="        location = /status { vantorell_status; }\n"
                  "        location = /experiment_7_variation_1 { return 503; }\n"
                  "        location /pages/ { root %s; }\n" % nginx.prefix))
    assert nginx.request("/pages/page", headers=as_visitor(VARIATION)).status == 503
    got = variations(nginx)[1]
    assert got["assignments"] == 1
    assert got["responses"] == {"2xx": 0, "3xx": 0, "4xx": 0, "5xx": 0}
