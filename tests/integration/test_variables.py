"""The module's variables, as an operator reads them: add_header on the
response, proxy_set_header to the upstream and an access_log line, for
assigned requests (redirected or not) and for every request the module made
no assignment for."""

import json
import re
import time

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import PROMO_PAGE, promo_page
from vantorell_observe import SHOW, VARIABLES, code_with, echoed, number, shown

EVERYTHING = group(cond(""))
SET_COOKIE = re.compile(r"^vantorellVisitorCode=([a-z0-7]{16});")

LOG_FORMAT = ("    log_format exposure '%s|$status|$uri';\n"
              % "|".join("$vantorell_" + name for name in VARIABLES))
VARIATIONS = "        location ~ ^/experiment_ { proxy_pass http://echo; }\n"

CODE = "visitor000000042"


def start(nginx, experiments, header=True, directives="", locations=VARIATIONS, on=True):
    if experiments is not None:
        nginx.data.write(experiments)
    server = nginx.server(directives="        vantorell_module %s;\n"
                          "        vantorell_experiments_header %s;\n"
                          "        access_log %s exposure;\n"
                          "        proxy_set_header X-Exposure $vantorell_experiments;\n"
                          % ("on" if on else "off", "on" if header else "off",
                             nginx.prefix / "exposure.log")
                          + SHOW + directives,
                          locations=locations)
    return nginx.start(http=LOG_FORMAT + server)


def exposures(nginx, count):
    """The access log's lines, once there are `count` (the line of a request
    is written just after its response)."""
    path = nginx.prefix / "exposure.log"
    for _ in range(250):                   # bounded: 5 s
        lines = path.read_text().splitlines() if path.exists() else []
        if len(lines) >= count:
            return lines
        time.sleep(0.02)
    return lines


def new_code(response):
    (value,) = response.all("Set-Cookie")
    return SET_COOKIE.match(value).group(1)


def logged(values, status, uri):
    return "|".join(v if v is not None else "-" for v in values) + "|%d|%s" % (status, uri)


# name: (experiments, the visitor's cookie or None, (new, experiments,
# experiment, variation), the URI that serves the request)
ASSIGNED = {
    "redirected, a new visitor": (
        [experiment(1, [EVERYTHING], [variation(2, 1.0)])], None,
        ("1", "1=2", "1", "2"), "/experiment_1_variation_2"),
    "the reference, a returning visitor": (
        [experiment(1, [EVERYTHING], [variation(2, 0.0)])], CODE,
        ("0", "1=0", "1", "0"), "/page"),
    "the front end's code": (
        [experiment(1, [EVERYTHING], [variation(2, 1.0)])], "_js_" + CODE,
        ("0", "1=2", "1", "2"), "/experiment_1_variation_2"),
    "a cookie longer than its code": (
        [experiment(1, [EVERYTHING], [variation(2, 1.0)])], CODE + "tail",
        ("0", "1=2", "1", "2"), "/experiment_1_variation_2"),
    "several targeted, the first decides on the reference": (
        [experiment(7, [EVERYTHING], [variation(70, 0.0)]),
         experiment(9, [group(cond("nowhere"))], [variation(90, 1.0)]),
         experiment(8, [EVERYTHING], [variation(80, 1.0)])], CODE,
        ("0", "7=0, 8=80", "7", "0"), "/page"),
    "several targeted, the first redirects": (
        [experiment(8, [EVERYTHING], [variation(80, 1.0)]),
         experiment(7, [EVERYTHING], [variation(70, 0.0)])], None,
        ("1", "8=80, 7=0", "8", "80"), "/experiment_8_variation_80"),
    "ids as the header writes them": (
        [experiment(2147483648, [EVERYTHING], [variation(3, 1.0)])], None,
        ("1", "-2147483648=3", "-2147483648", "3"), "/experiment_-2147483648_variation_3"),
}


@pytest.mark.parametrize("header", [True, False], ids=["header-on", "header-off"])
@pytest.mark.parametrize("name", list(ASSIGNED))
def test_an_assigned_request(nginx, name, header):
    experiments, cookie, values, uri = ASSIGNED[name]
    start(nginx, experiments, header=header)
    headers = [("Cookie", "vantorellVisitorCode=" + cookie)] if cookie else []
    r = nginx.request("/page", headers=headers)
    assert r.status == 200
    assert r.json()["path"] == uri
    code = new_code(r)
    if cookie is not None:
        assert code == CODE
    expected = (code,) + values
    assert shown(r) == expected
    assert echoed(r, "x-exposure") == [values[1]]
    assert exposures(nginx, 1) == [logged(expected, 200, uri)]


def test_visitor_keeps_its_code_and_variation_across_requests(nginx):
    start(nginx, [experiment(1, [EVERYTHING], [variation(10, 0.5), variation(20, 0.5)])])
    first = nginx.request("/page")
    code = new_code(first)
    variation_id = "20" if number(code) < 0.5 else "10"
    assert shown(first) == (code, "1", "1=" + variation_id, "1", variation_id)
    again = nginx.request("/page", headers=[("Cookie", "vantorellVisitorCode=" + code)])
    assert shown(again) == (code, "0", "1=" + variation_id, "1", variation_id)
    assert [line.split("|")[:5] for line in exposures(nginx, 2)] == \
        [list(shown(first)), list(shown(again))]


TARGETED = [experiment(1, [EVERYTHING], [variation(2, 1.0)])]

# name: (the experiments, the request's path and headers, extra locations,
# the module on)
NOT_ASSIGNED = {
    "not targeted": ([experiment(1, [group(cond("alpha/page"))], [variation(2, 1.0)])],
                     "/other", [], "", True),
    "the client's flag": (TARGETED, "/page", [("vantorell-triggered", "true")], "", True),
    "ignored": (TARGETED, "/health", [],
                "        location /health { vantorell_ignore true; proxy_pass http://echo; }\n",
                True),
    "no data file": (None, "/page", [], "", True),
    "targeting fails": ([experiment(1, [group(cond("(", "R"))], [variation(2, 1.0)])],
                        "/page", [], "", True),
    "the module off": (TARGETED, "/page", [], "", False),
}


@pytest.mark.parametrize("name", list(NOT_ASSIGNED))
def test_no_assignment_no_values(nginx, name):
    experiments, path, headers, locations, on = NOT_ASSIGNED[name]
    start(nginx, experiments, locations=VARIATIONS + locations, on=on)
    r = nginx.request(path, headers=headers + [("Cookie", "vantorellVisitorCode=" + CODE)])
    assert r.status == 200
    assert r.json()["path"] == path
    assert shown(r) == (None,) * 5
    assert r.all("Set-Cookie") == []
    assert echoed(r, "x-exposure") == []
    assert exposures(nginx, 1) == ["-|-|-|-|-|200|" + path]


def test_values_survive_a_later_internal_redirect(nginx):
    # an index redirect after a reference decision, a try_files fallback in
    # the variation's location, a named location after a reference decision:
    # each clears the request's module contexts
    html = promo_page(nginx)
    start(nginx, [experiment(1, [group(cond("alpha/promo/"))], [variation(2, 0.5)]),
                  experiment(3, [group(cond("alpha/shop"))], [variation(4, 1.0)]),
                  experiment(5, [group(cond("alpha/named/"))], [variation(6, 0.0)])],
          directives="        root %s;\n" % html, locations="""
        location /promo/ { }
        location ~ ^/experiment_ { try_files $uri /fallback; }
        location = /fallback { proxy_pass http://echo; }
        location /named/ { try_files $uri @app; }
        location @app { proxy_pass http://echo; }
""")
    high = code_with(lambda x: x > 0.6)
    r = nginx.request("/promo/", headers=[("Cookie", "vantorellVisitorCode=" + high)])
    assert r.body == PROMO_PAGE
    assert shown(r) == (high, "0", "1=0", "1", "0")

    r = nginx.request("/shop?a=1")
    assert r.json()["path"] == "/fallback"
    code = new_code(r)
    assert shown(r) == (code, "1", "3=4", "3", "4")
    assert echoed(r, "x-exposure") == ["3=4"]

    r = nginx.request("/named/x", headers=[("Cookie", "vantorellVisitorCode=" + high)])
    assert r.json()["path"] == "/named/x"
    assert shown(r) == (high, "0", "5=0", "5", "0")
    assert len(r.all("Set-Cookie")) == 1

    assert exposures(nginx, 3) == [logged((high, "0", "1=0", "1", "0"), 200, "/promo/index.html"),
                                   logged((code, "1", "3=4", "3", "4"), 200, "/fallback"),
                                   logged((high, "0", "5=0", "5", "0"), 200, "/named/x")]


# A filter that answers for the request itself (the not-modified filter's
# 412) clears the request's module contexts without an internal redirect.
@pytest.mark.parametrize("condition, status", [
    (("If-Match", '"nope"'), 412),
    (("If-None-Match", "*"), 304),
], ids=["412", "304"])
def test_values_when_a_filter_answers(nginx, condition, status):
    html = promo_page(nginx)
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 0.0)])],
          directives="        root %s;\n" % html,
          locations=VARIATIONS + "        location /promo/ { }\n")
    r = nginx.request("/promo/index.html",
                      headers=[condition, ("Cookie", "vantorellVisitorCode=" + CODE)])
    assert r.status == status
    values = (CODE, "0", "1=0", "1", "0")
    assert shown(r) == values
    assert exposures(nginx, 1) == [logged(values, status, "/promo/index.html")]


def test_a_read_before_the_decision_does_not_stick(nginx):
    # the rewrite phase runs before the module: what it reads there is not
    # found, and later reads of the same request still see the assignment
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 0.0)])],
          directives="        set $early \"[$vantorell_variation$vantorell_visitor_code]\";\n"
                     "        add_header X-Early $early always;\n")
    r = nginx.request("/page")
    assert r.status == 200
    assert r.header("X-Early") == "[]"
    code = new_code(r)
    assert shown(r) == (code, "1", "1=0", "1", "0")
    assert exposures(nginx, 1) == [logged((code, "1", "1=0", "1", "0"), 200, "/page")]


def test_http10_request_without_host(nginx):
    start(nginx, [experiment(1, [group(cond("/page"))], [variation(2, 1.0)])])
    answer, _ = nginx.raw(b"GET /page?a=1 HTTP/1.0\r\n\r\n")
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200")
    assert json.loads(body)["path"] == "/experiment_1_variation_2?a=1"
    fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
    code = SET_COOKIE.match(fields["Set-Cookie"]).group(1)
    values = (code, "1", "1=2", "1", "2")
    assert tuple(fields.get("X-Vantorell-" + name) for name in VARIABLES) == values
    assert exposures(nginx, 1) == [logged(values, 200, "/experiment_1_variation_2")]


def test_the_documented_recipes(nginx):
    # the exposure log of assigned requests only, and Cache-Control: private
    # on every targeted response, as docs/directives.md writes them
    nginx.data.write([experiment(1, [group(cond("alpha/promo"))], [variation(2, 0.5)])])
    exposure = nginx.prefix / "exposure.log"
    nginx.start(http="""
    log_format exposure '$vantorell_visitor_code $vantorell_visitor_new '
                        '"$vantorell_experiments" $vantorell_experiment '
                        '$vantorell_variation $status "$request_uri"';
    map $vantorell_experiments $vantorell_exposed {
        ""       0;
        default  1;
    }
    map $vantorell_experiment $vantorell_cache_control {
        ""       "";
        default  "private";
    }
""" + nginx.server(directives="""
        vantorell_module on;
        access_log %s exposure if=$vantorell_exposed;
        add_header Cache-Control $vantorell_cache_control always;
""" % exposure, locations=VARIATIONS))

    low, high = code_with(lambda x: x < 0.4), code_with(lambda x: x > 0.6)
    for path, code in (("/promo?a=1", low), ("/about", low), ("/promo", high)):
        r = nginx.request(path, headers=[("Cookie", "vantorellVisitorCode=" + code)])
        assert r.status == 200
        assert r.all("Cache-Control") == ([] if path == "/about" else ["private"])
    for _ in range(250):                    # bounded: 5 s
        if exposure.exists() and len(exposure.read_text().splitlines()) >= 2:
            break
        time.sleep(0.02)
    time.sleep(0.1)
    assert exposure.read_text().splitlines() == [
        '%s 0 "1=2" 1 2 200 "/promo?a=1"' % low,
        '%s 0 "1=0" 1 0 200 "/promo"' % high,
    ]
