"""The visitor code cookie and the visitor's number, through a real nginx."""

import calendar
import email.utils
import hashlib
import re
import time

import pytest

from vantorell_harness import cond, experiment, group

CODE = re.compile(r"^[a-z0-7]{16}$")
SET_COOKIE = re.compile(r"^vantorellVisitorCode=(.{16}); expires=([^;]+)(; domain=[^;]*)?; path=/;$")


def start(nginx, directives=""):
    # targeted everywhere, no variations: every visitor stays on the page asked for
    nginx.data.write([experiment(3, [group(cond(""))])])
    return nginx.start(directives="        vantorell_module on;\n" + directives)


def cookie_of(response):
    (value,) = response.all("Set-Cookie")
    m = SET_COOKIE.match(value)
    assert m, value
    return m


def visitor_code_line(response):
    return next(line for line in response.log if line.startswith("Visitor Code: "))


@pytest.mark.parametrize("cookies, code, front", [
    ([], None, False),
    (["vantorellVisitorCode=" + "a" * 15], None, False),
    (["vantorellVisitorCode=" + "abcdefghijklmnop"], "abcdefghijklmnop", False),
    (["vantorellVisitorCode=" + "abcdefghijklmnop0123456789"], "abcdefghijklmnop", False),
    (["vantorellVisitorCode=_js_" + "qrstuvwxyz012345"], "qrstuvwxyz012345", True),
    (["vantorellVisitorCode=_js_" + "a" * 12], None, False),
    (["vantorellVisitorCode=_JS_" + "a" * 12], "_JS_" + "a" * 12, False),
    (["a=1; vantorellVisitorCode=ZZZZZZZZZZZZZZZZ; b=2"], "ZZZZZZZZZZZZZZZZ", False),
    (["a=1", "b=2; vantorellVisitorCode=YYYYYYYYYYYYYYYY"], "YYYYYYYYYYYYYYYY", False),
    (["other=1"], None, False),
    # cookies are separated by ";" alone, on every release
    (['x="a,vantorellVisitorCode=QQQQQQQQQQQQQQQQ"'], None, False),
    (["a=1,vantorellVisitorCode=QQQQQQQQQQQQQQQQ"], None, False),
    (["a=1;vantorellVisitorCode = RRRRRRRRRRRRRRRR"], "RRRRRRRRRRRRRRRR", False),
], ids=["none", "15", "16", "26", "front", "front-short", "upper-front", "among-others",
        "second-header", "other-cookie", "inside-a-quoted-value", "after-a-comma",
        "blanks-around-equals"])
def test_visitor_code_from_the_cookie(nginx, cookies, code, front):
    start(nginx)
    r = nginx.request("/page", headers=[("Cookie", c) for c in cookies])
    assert r.status == 200
    got = cookie_of(r).group(1)
    if code is None:
        assert CODE.match(got)
        assert "Generating a new cookie value: %s " % got in r.log
    else:
        assert got == code
        assert not any(line.startswith("Generating") for line in r.log)
    assert ("Found vantorell cookie from front" in r.log) == front
    assert visitor_code_line(r) == "Visitor Code: " + got


def test_set_cookie_text_and_expiry(nginx):
    # one worker, two servers whose lifetimes differ, asked in turn within a
    # second or so: each date is its own server's
    nginx.data.write([experiment(3, [group(cond(""))])])
    nginx.start(http=nginx.server(directives="        vantorell_module on;\n") + nginx.server(
        directives="        vantorell_module on;\n        vantorell_cookie_expires 1h;\n",
        server_name="beta"))
    for _ in range(3):
        for host, lifetime in (("alpha", 1209600), ("beta", 3600)):
            r = nginx.request("/page", host=host,
                              headers=[("Cookie", "vantorellVisitorCode=abcdefghijklmnop")])
            m = cookie_of(r)
            assert m.group(3) is None
            expires = calendar.timegm(time.strptime(m.group(2), "%a, %d-%b-%y %H:%M:%S GMT"))
            date = email.utils.parsedate_to_datetime(r.header("Date")).timestamp()
            assert abs(expires - (date + lifetime)) <= 2, (host, m.group(2))
            assert "Added cookie with value: " + r.header("Set-Cookie") in r.log


@pytest.mark.parametrize("directive, path, domain", [
    ("vantorell_cookie_domain example.test;", "/page", "; domain=example.test"),
    ("vantorell_cookie_domain .$host;", "/page", "; domain=.alpha"),
    ("vantorell_cookie_domain $arg_d;", "/page", "; domain="),
    ("vantorell_cookie_domain $arg_d;", "/page?d=shop.test", "; domain=shop.test"),
])
def test_cookie_domain(nginx, directive, path, domain):
    start(nginx, "        " + directive)
    r = nginx.request(path)
    assert cookie_of(r).group(3) == domain


def test_same_visitor_same_number(nginx):
    start(nginx)
    cookie = [("Cookie", "vantorellVisitorCode=abcdefghijklmnop")]
    first = nginx.request("/a", headers=cookie).log
    second = nginx.request("/b?x=1", headers=cookie).log
    digest = hashlib.sha256(b"abcdefghijklmnop").hexdigest()
    expected = ["Visitor Code: abcdefghijklmnop", "Sha 256: " + digest,
                "Random generated number: 0.952"]
    for log in (first, second):
        start_at = log.index(expected[0])
        assert log[start_at:start_at + 3] == expected


def test_new_visitors_get_distinct_codes(nginx):
    start(nginx)
    codes = {cookie_of(nginx.request("/page")).group(1) for _ in range(20)}
    assert len(codes) == 20


def test_untargeted_request_gets_no_cookie(nginx):
    nginx.data.write([experiment(3, [group(cond("nowhere"))])])
    nginx.start(directives="        vantorell_module on;")
    r = nginx.request("/page")
    assert r.header("Set-Cookie") is None
    assert r.log == ["Not targeted by any experiment."]
