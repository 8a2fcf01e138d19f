"""The HTML status page (vantorell_status html): what nginx answers, and what
a real browser (Debian's Chromium, headless) shows of it: the numbers of the
JSON page, texts of the data file as text and never as markup, and nothing
loaded from anywhere else."""

import html.parser
import json
import os
import shutil
import subprocess

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import pages

CHROMIUM = shutil.which("chromium")


@pytest.fixture
def chromium():
    if CHROMIUM is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium (Debian's package, scripts/install-deps.sh) is missing")
        pytest.skip("chromium is not installed (scripts/install-deps.sh installs it)")
    return CHROMIUM


def quoted(path):
    """A path as a double-quoted string of nginx's configuration."""
    return '"%s"' % str(path).replace("\\", "\\\\").replace('"', '\\"')


# A folder name that is markup, with every character HTML must escape: were
# it not escaped, the page would hold an element of id "injected".
HOSTILE = '<b id="injected">&amp;\'x'

STATUS_LOCATIONS = """\
        location = /status {{ vantorell_status; }}
        location = /status.html {{ vantorell_status html; }}
        location = /experiment_101_variation_2 {{ return 500; }}
        location ~ ^/experiment_ {{ return 200 "$uri\\n"; }}
        location /pages/ {{ root {prefix}; }}
"""


def start(nginx, guardrail="off"):
    """nginx with experiment 101 (variations 1 and 2 evenly, 2 answering 500)
    and 202 (the reference and two variations) in a data file under the
    hostile folder, and a second server whose data file is broken."""
    folder = nginx.prefix / HOSTILE
    folder.mkdir()
    os.chmod(folder, 0o755)
    good = folder / "experiments.json"
    nginx.data.path = good
    nginx.data.write([
        experiment(101, [group(cond("/pages/page"))], [variation(1, 0.5), variation(2, 0.5)]),
        experiment(202, [group(cond("/pages/index.html"))],
                   [variation(1, 0.25), variation(2, 0.25)]),
    ])
    broken = folder / "broken.json"
    broken.write_text('[{"experimentId": <script>')
    os.chmod(broken, 0o644)
    pages(nginx)
    nginx.names_data_file = False
    http = ("    vantorell_metrics_zone 1m;\n    vantorell_guardrail %s;\n" % guardrail
            + nginx.server(directives="        vantorell_module on;\n"
                                      "        vantorell_data_file %s;\n" % quoted(good),
                           locations=STATUS_LOCATIONS.format(prefix=nginx.prefix))
            + nginx.server(directives="        vantorell_module on;\n"
                                      "        vantorell_data_file %s;\n" % quoted(broken),
                           server_name="broken"))
    nginx.start(http=http)
    return good, broken


def visit(nginx, n, path, host="alpha"):
    """n new visitors (no cookie) on one keep-alive connection; the statuses."""
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    statuses = {}
    for _ in range(n):
        conn.request("GET", path, headers={"Host": host})
        r = conn.getresponse()
        r.read()
        statuses[r.status] = statuses.get(r.status, 0) + 1
    conn.close()
    return statuses


def json_status(nginx):
    r = nginx.exchange("/status")
    assert r.status == 200
    return json.loads(r.body.decode("utf-8"))


# ---- the DOM Chromium rendered ------------------------------------------------

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
        "source", "track", "wbr"}


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag = tag
        self.attrs = dict(attrs)
        self.parent = parent
        self.children = []
        self.text = ""

    def find_all(self, predicate):
        for child in self.children:
            if predicate(child):
                yield child
            yield from child.find_all(predicate)

    def find(self, predicate):
        return next(self.find_all(predicate), None)

    def by_attr(self, name, value=None):
        return [e for e in self.find_all(lambda e: name in e.attrs
                                         and (value is None or e.attrs[name] == value))]

    def one(self, name, value=None):
        found = self.by_attr(name, value)
        assert len(found) == 1, (name, value, len(found))
        return found[0]

    def cells(self):
        return [c.text.strip() for c in self.children if c.tag == "td"]


class Dom(html.parser.HTMLParser):
    """The document Chromium serialized, as a tree whose elements know their
    text (their descendants' included)."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", (), None)
        self.open = [self.root]
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        e = Element(tag, attrs, self.open[-1])
        self.open[-1].children.append(e)
        if tag not in VOID:
            self.open.append(e)

    def handle_startendtag(self, tag, attrs):
        self.open[-1].children.append(Element(tag, attrs, self.open[-1]))

    def handle_endtag(self, tag):
        for i in range(len(self.open) - 1, 0, -1):
            if self.open[i].tag == tag:
                del self.open[i:]
                return

    def handle_data(self, data):
        for e in self.open:
            e.text += data


# Tests run as root (no sandbox then) on machines without a GPU.  The browser
# still makes requests of its own (its clock, updates, accounts) whatever it
# is told: no name but the loopback address resolves, so none of them leaves
# the machine, not even as a DNS query.
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-default-apps", "--disable-extensions", "--disable-sync",
                 "--hide-scrollbars", "--mute-audio",
                 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]


def browse(chromium, folder, url, *what):
    """Runs Chromium on url with a profile of its own; what: --dump-dom or
    --screenshot=FILE.  Its standard output, and the URLs that the page made
    it request (from its network log): the browser's own requests are of
    type "other" and go elsewhere."""
    folder.mkdir(exist_ok=True)
    netlog = folder / "netlog.json"
    p = subprocess.run([chromium, *BROWSER_FLAGS, "--user-data-dir=%s" % (folder / "profile"),
                        "--log-net-log=%s" % netlog, "--net-log-capture-mode=Default",
                        *what, url],
                       capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert p.returncode == 0, p.stderr[-3000:]
    return p.stdout, requested_urls(netlog)


def requested_urls(netlog):
    """The URLs of the requests in a network log that a page made (a frame or
    anything it loads) or that went to this machine, in their order."""
    log = json.loads(netlog.read_text())
    types = {v: k for k, v in log["constants"]["logEventTypes"].items()}
    urls = []
    for event in log["events"]:
        params = event.get("params") or {}
        if types.get(event["type"]) == "URL_REQUEST_START_JOB" and "url" in params:
            if params.get("request_type") != "other" or \
                    params["url"].startswith("http://127.0.0.1"):
                urls.append(params["url"])
    return urls


# ---- the tests ------------------------------------------------------------------

def percent(share):
    return "%.1f%%" % (share * 100)


def bucket_bounds(buckets, q):
    """The bounds of the bucket that holds the q-quantile of a JSON histogram
    (cumulative counts)."""
    count = buckets[-1][1]
    low = 0.0
    for le, cumulative in buckets:
        if cumulative >= q * count and cumulative > 0:
            return low, (10.0 if le == "+Inf" else le)
        low = le
    raise AssertionError(buckets)


def test_chromium_shows_the_numbers_of_the_json_page(nginx, chromium, tmp_path):
    good, broken = start(nginx, guardrail="stop")

    # enough new visitors for the split and errors checks: variation 2 fails
    # every time until the guardrail stops it, then its visitors get the
    # reference; experiment 202 sees a few only, too few for any check
    statuses = visit(nginx, 1400, "/pages/page")
    assert statuses.get(500, 0) >= 20 and statuses[200] > 600, statuses
    assert visit(nginx, 30, "/pages/index.html") == {200: 30}
    assert visit(nginx, 3, "/pages/page", host="broken") == {200: 3}

    doc = json_status(nginx)
    url = "http://127.0.0.1:%d/status.html?refresh=30" % nginx.port
    dumped, urls = browse(chromium, tmp_path / "browser", url, "--dump-dom")
    # nothing was requested but the page itself, which loaded nothing else
    assert urls == [url]
    # nothing counted in between (the status is not)
    assert json_status(nginx) == doc

    dom = Dom(dumped).root
    refresh = dom.find(lambda e: e.tag == "meta" and e.attrs.get("http-equiv") == "refresh")
    assert refresh is not None and refresh.attrs["content"] == "30"
    assert dom.by_attr("id", "injected") == []
    assert dom.find(lambda e: e.tag in ("script", "b", "img", "iframe")) is None

    files = doc["data_files"]
    assert [f["path"] for f in files] == [str(good), str(broken)]
    sections = [dom.one("id", "file-%d" % i) for i in range(len(files))]
    for f, section in zip(files, sections):
        # the path with its markup, shown as it is
        assert section.attrs["data-file"] == f["path"]
        heading = section.find(lambda e: e.tag == "h2")
        assert heading.find(lambda e: e.attrs.get("class") == "path").text == f["path"]
        assert HOSTILE in heading.text
        assert ("not usable" not in heading.text) == f["usable"]
        assert section.attrs["data-experiments-count"] == str(f["experiments_count"])
        assert section.attrs["data-loaded-at"] == f["loaded_at"]
        if f["problem"] is not None:
            assert section.one("class", "problem-text").text == f["problem"]
        for outcome, count in f["requests"].items():
            assert section.one("data-outcome", outcome).text == str(count)

    assert files[1]["usable"] is False and files[1]["problem"]
    assert sections[1].by_attr("data-experiment") == []

    experiments = files[0]["experiments"]
    assert [e["id"] for e in experiments] == [101, 202]
    for exp in experiments:
        article = sections[0].one("data-experiment", str(exp["id"]))
        assert article.attrs["data-counting-since"] == exp["counting_since"]
        total = sum(v["assignments"] for v in exp["variations"])
        for v in exp["variations"]:
            row = article.one("data-variation", str(v["id"]))
            cells = row.cells()
            answered = sum(v["responses"].values())
            failed = v["responses"]["5xx"]
            assert float(row.attrs["data-expected-share"]) == v["expected_share"]
            assert float(row.attrs["data-observed-share"]) == pytest.approx(
                v["assignments"] / total)
            assert cells[1] == percent(v["expected_share"])
            assert cells[2] == percent(v["assignments"] / total)
            assert (cells[4], cells[5], cells[6], cells[7]) == \
                (str(v["assignments"]), str(v["new_visitors"]), str(answered), str(failed))
            assert cells[8] == (percent(failed / answered) if answered else "\u2014")
            assert cells[0] == str(v["id"]) + (" (reference)" if v["id"] == 0 else "") \
                + (" stopped" if v["stopped"] else "")
            assert row.attrs["data-stopped"] == json.dumps(v["stopped"])
            assert ("stopped" in row.attrs.get("class", "")) == v["stopped"]
            # the bars: the expected share above, the observed one below
            bars = {r.attrs["class"]: float(r.attrs["width"])
                    for r in row.find_all(lambda e: e.tag == "rect"
                                          and e.attrs.get("class") != "track")}
            assert bars["expected"] == pytest.approx(160 * v["expected_share"], abs=0.05)
            assert bars["observed"] == pytest.approx(160 * v["assignments"] / total, abs=0.05)
            if answered:
                for q, name in ((0.5, "data-p50-seconds"), (0.95, "data-p95-seconds")):
                    low, high = bucket_bounds(v["response_seconds"]["buckets"], q)
                    assert low <= float(row.attrs[name]) <= high
            else:
                assert "data-p50-seconds" not in row.attrs and cells[9] == "\u2014"

        checks = [("new_visitors", exp["split_check"]["new_visitors"]),
                  ("assignments", exp["split_check"]["assignments"]),
                  ("errors", exp["errors_check"])]
        for name, check in checks:
            row = article.one("data-check", name)
            cells = row.cells()
            if check["p_value"] is None:
                assert "data-p-value" not in row.attrs and cells[1] == "\u2014"
            else:
                assert float(row.attrs["data-p-value"]) == check["p_value"]
                assert cells[1] == "%.3g" % check["p_value"]
            assert row.attrs["data-alarm"] == json.dumps(check["alarm"])
            assert cells[2] == ("ALARM" if check["alarm"] else "no")
        errors = exp["errors_check"]
        if errors["worst_variation"] is not None:
            row = article.one("data-check", "errors")
            assert row.attrs["data-worst-variation"] == str(errors["worst_variation"])

    # what the traffic made: 101 checked, its variation 2 failing and
    # stopped; 202 too small to check
    e101, e202 = experiments
    assert e101["errors_check"]["alarm"] and e101["errors_check"]["worst_variation"] == 2
    assert [v["stopped"] for v in e101["variations"]] == [False, False, True]
    assert e101["split_check"]["new_visitors"]["p_value"] is not None
    assert e202["split_check"]["new_visitors"]["p_value"] is None
    assert e202["errors_check"]["p_value"] is None
    heading = sections[0].one("data-experiment", "101").find(lambda e: e.tag == "h3").text
    assert "errors alarm" in heading and "variation 2 stopped" in heading
    assert "1 experiment in alarm" in dom.find(lambda e: e.tag == "title").text


def test_html_page_as_nginx_answers_it(nginx):
    start(nginx)
    r = nginx.exchange("/status.html")
    assert r.status == 200
    assert r.header("Content-Type") == "text/html; charset=utf-8"
    # the browser may load nothing else, whatever a text of the page held
    assert r.header("Content-Security-Policy").startswith("default-src 'none';")
    body = r.body.decode("utf-8")
    for word in ("http://", "https://", "<script", "src=", "href=", 'id="injected"'):
        assert word not in body
    assert "&lt;b id=&quot;injected&quot;&gt;&amp;amp;&#39;x" in body
    # the other formats have no such header
    assert nginx.exchange("/status").header("Content-Security-Policy") is None

    head = nginx.exchange("/status.html", method="HEAD")
    assert head.status == 200 and head.body == b""
    assert head.header("Content-Type") == "text/html; charset=utf-8"

    for query, refresh in [("?refresh=30", "30"), ("?a=1&refresh=1", "1"),
                           ("?refresh=3600", "3600"), ("?refresh=3601", None),
                           ("?refresh=0", None), ("?refresh=-5", None),
                           ("?refresh=%35", None), ("?refresh=5s", None),
                           ("?refresh=", None), ("?xrefresh=5", None), ("", None)]:
        body = nginx.exchange("/status.html" + query).body.decode("utf-8")
        tag = '<meta http-equiv="refresh" content="%s">' % refresh
        if refresh is None:
            assert "http-equiv" not in body, query
        else:
            assert tag in body, query


def test_unknown_format_is_refused(nginx):
    ok, said = nginx.check("    vantorell_metrics_zone 1m;\n" + nginx.server(
        locations="        location = /s { vantorell_status htm; }\n"))
    assert not ok
    assert 'invalid format "htm" of vantorell_status: "json" (the default), ' \
        '"prometheus" or "html"' in said
