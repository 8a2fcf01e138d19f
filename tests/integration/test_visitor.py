"""The visitor code cookie and the visitor's number, through a real nginx."""

import calendar
import email.utils
import re
import time

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_observe import SHOW, number, shown

CODE = re.compile(r"^[a-z0-7]{16}$")
SET_COOKIE = re.compile(r"^vantorellVisitorCode=(.{16}); expires=([^;]+)(; domain=[^;]*)?; path=/;$")


def start(nginx, directives=""):
    # targeted everywhere, no variations: every visitor stays on the page asked for
    nginx.data.write([experiment(3, [group(cond(""))])])
    return nginx.start(directives="        vantorell_module on;\n" + SHOW + directives)


def cookie_of(response):
    (value,) = response.all("Set-Cookie")
    m = SET_COOKIE.match(value)
    assert m, value
    return m


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
    # the code the visitor's number is taken from, and whether it is new
    if code is None:
        assert CODE.match(got)
        assert shown(r)[:2] == (got, "1")
    else:
        assert got == code
        assert shown(r)[:2] == (got, "0")
    # the front end's code is what follows its prefix
    assert any("vantorellVisitorCode=_js_" + got in c for c in cookies) == front


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
    # a thousand variations of 0.001: the one a visitor lands in is the
    # visitor's number to three places (the choice sums from the file's last)
    nginx.data.write([experiment(3, [group(cond(""))],
                                 [variation(v, 0.001) for v in range(1, 1001)])])
    nginx.start(directives="        vantorell_module on;\n" + SHOW)
    u = number("abcdefghijklmnop")           # 0.9516..., of the code's SHA-256
    landed = str(1000 - int(u * 1000))
    cookie = [("Cookie", "vantorellVisitorCode=abcdefghijklmnop")]
    for path in ("/a", "/b?x=1"):
        r = nginx.request(path, headers=cookie)
        assert shown(r) == ("abcdefghijklmnop", "0", "3=" + landed, "3", landed)


def test_new_visitors_get_distinct_codes(nginx):
    start(nginx)
    codes = {cookie_of(nginx.request("/page")).group(1) for _ in range(20)}
    assert len(codes) == 20


def test_untargeted_request_gets_no_cookie(nginx):
    nginx.data.write([experiment(3, [group(cond("nowhere"))])])
    nginx.counting = True
    nginx.start(directives="        vantorell_module on;\n" + SHOW)
    r = nginx.request("/page")
    assert r.header("Set-Cookie") is None
    assert shown(r) == (None,) * 5
    assert r.counted == {"untargeted": 1}
