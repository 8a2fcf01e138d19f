"""proxy_cache behind the variation locations, configured as docs/caching.md
tells: each variation's page is cached apart, and no visitor receives
another's cookie, neither the application's nor the module's.  And what
goes wrong without that configuration.

Two experiments target /promo; the first decides the variation location,
the application also reads the second's variation in the experiments
header."""

import http.cookies
import http.server

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import serving
from vantorell_observe import code_with

SESSION = "app_session"


class App(http.server.BaseHTTPRequestHandler):
    """An application behind the cache.  Its pages show the path it was asked
    for and the experiments header, the same for every visitor of a
    variation, and say they may be cached for a minute; /account shows the
    visitor's session and is private.  A visitor without a session gets one,
    in a cookie: s-<visitor code>, so a test can tell whose it is."""

    def do_GET(self):
        cookies = http.cookies.SimpleCookie(self.headers.get("Cookie", ""))
        headers = []
        if SESSION in cookies:
            session = cookies[SESSION].value
        else:
            session = "s-" + cookies["vantorellVisitorCode"].value
            headers.append(("Set-Cookie", "%s=%s; Path=/" % (SESSION, session)))
        if self.path == "/account":
            body = "account of %s\n" % session
            headers.append(("Cache-Control", "private"))
        else:
            body = page(self.path, self.headers.get("vantorell-experiment", "-"))
            headers.append(("Cache-Control", "max-age=60"))
        self.send_response(200)
        for name, value in headers + [("Content-Length", str(len(body)))]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body.encode())

    def log_message(self, *args):
        pass


def page(path, experiments):
    return "page %s for %s\n" % (path, experiments)


@pytest.fixture(scope="module")
def app():
    with serving(App) as port:
        yield port


# docs/caching.md's configuration, with the cache's status on every answer
RECIPE = """\
        proxy_cache_key "$scheme$proxy_host$request_uri $vantorell_experiments";
        proxy_no_cache $upstream_http_set_cookie;
        proxy_hide_header Cache-Control;
        add_header Cache-Control $vantorell_cache_control always;
"""
CONF = """\
    proxy_cache_path {prefix}/cache keys_zone=pages:1m;
    upstream app {{ server 127.0.0.1:{app}; }}
    map $vantorell_experiment $vantorell_cache_control {{
        ""       $upstream_http_cache_control;
        default  "private";
    }}
    server {{
        listen 127.0.0.1:{port};
        server_name alpha;
        vantorell_module on;
        vantorell_experiments_header on;
        proxy_cache pages;
{directives}
        add_header X-Cache $upstream_cache_status always;
        add_header X-Variation $vantorell_variation always;
        location / {{ proxy_pass http://app; }}
        location ~ ^/experiment_\\d+_variation_\\d+$ {{
            internal;
            proxy_pass http://app;
        }}
    }}
"""


def start(nginx, app, directives):
    nginx.data.write([
        experiment(41, [group(cond("alpha/promo"))], [variation(1, 0.5), variation(2, 0.5)]),
        experiment(42, [group(cond("alpha/promo"))], [variation(3, 0.3), variation(4, 0.7)]),
    ])
    nginx.start(http=CONF.format(prefix=nginx.prefix, app=app, port=nginx.port,
                                 directives=directives))


class Visitor:
    """A browser of one visitor code: it keeps the cookies it is given and
    sends them back; every answer it got is in .answers."""

    def __init__(self, nginx, code, session=None):
        self.nginx = nginx
        self.code = code
        self.jar = {"vantorellVisitorCode": code}
        if session is not None:
            self.jar[SESSION] = session
        self.answers = []

    def get(self, path):
        cookie = "; ".join("%s=%s" % kv for kv in self.jar.items())
        r = self.nginx.request(path, headers=[("Cookie", cookie)])
        assert r.status == 200, r.body
        for value in r.all("Set-Cookie"):
            name, _, rest = value.partition("=")
            self.jar[name] = rest.split(";")[0]
        self.answers.append(r)
        return r

    def cookies_set(self):
        """Every (name, value) that its answers set, in order."""
        return [tuple(value.split(";")[0].split("=", 1))
                for r in self.answers for value in r.all("Set-Cookie")]


# Each visitor's number, and the variations it gives (the weights add up
# from an experiment's last variation): a and c alike, d differs from them
# in experiment 42 only, b in both.
NUMBERS = {"a": (lambda x: x > 0.85), "c": (lambda x: 0.7 < x < 0.85),
           "d": (lambda x: 0.5 < x < 0.7), "b": (lambda x: x < 0.5)}
VARIATIONS = {"a": (1, 3), "c": (1, 3), "d": (1, 4), "b": (2, 4)}


def visitors(nginx, sessions):
    """The visitors a, b, c and d; those named in sessions already hold the
    application's session."""
    return {name: Visitor(nginx, code_with(NUMBERS[name]),
                          None if name not in sessions else "s-" + code_with(NUMBERS[name]))
            for name in NUMBERS}


def promo(name):
    """The page of /promo that visitor name must see."""
    v41, v42 = VARIATIONS[name]
    return page("/experiment_41_variation_%d" % v41, "41=%d, 42=%d" % (v41, v42)).encode()


@pytest.mark.parametrize("directives", [
    RECIPE,
    # the line often copied to cache pages whose answers set cookies: the
    # recipe still keeps those answers out of the cache
    RECIPE + "        proxy_ignore_headers Set-Cookie;\n",
], ids=["recipe", "recipe-ignoring-set-cookie"])
def test_each_variation_cached_apart_and_no_cookie_shared(nginx, app, directives):
    start(nginx, app, directives)
    v = visitors(nginx, sessions="d")
    steps = [
        # a new session: the answer sets a cookie and is not stored
        ("a", "/promo", "MISS"), ("b", "/promo", "MISS"),
        # the first answer without a cookie is stored, per variation
        ("a", "/promo", "MISS"), ("b", "/promo", "MISS"),
        ("a", "/promo", "HIT"), ("b", "/promo", "HIT"),
        # new to the application, in a's variations: a's page, no session
        ("c", "/promo", "HIT"),
        # a's variation location, another variation of experiment 42
        ("d", "/promo", "MISS"), ("d", "/promo", "HIT"),
        # a private page, never stored
        ("a", "/account", "MISS"), ("b", "/account", "MISS"), ("a", "/account", "MISS"),
        # a page no experiment targets: one copy for all
        ("a", "/about", "MISS"), ("b", "/about", "HIT"),
    ]
    for name, path, cache in steps:
        r = v[name].get(path)
        assert r.header("X-Cache") == cache, (name, path)

    for name, visitor in v.items():
        pages = [r for r in visitor.answers if r.header("X-Variation")]
        assert pages
        for r in pages:
            assert r.body == promo(name), name
            assert r.all("Cache-Control") == ["private"]
        # every cookie a visitor was given is its own: the module's code at
        # each targeted answer, the session once, at its first answer
        want = [("vantorellVisitorCode", visitor.code)] * len(pages)
        if name in "ab":
            want.insert(1, (SESSION, "s-" + visitor.code))
        assert visitor.cookies_set() == want, name
    for name in "ab":
        account = [r for r in v[name].answers if r.body.startswith(b"account")]
        assert {r.body.decode() for r in account} == {"account of s-%s\n" % v[name].code}
        assert all(r.all("Cache-Control") == ["private"] for r in account)
    about = [r for name in "ab" for r in v[name].answers if r.body.startswith(b"page /about")]
    assert [r.all("Cache-Control") for r in about] == [["max-age=60"]] * 2


@pytest.mark.parametrize("directives, other", [
    # a key of $request_uri: every variation's page under one key
    ("        proxy_cache_key $scheme$host$request_uri;\n", "b"),
    # nginx's own key holds the URI sent upstream, the variation location,
    # but not the other experiments of the experiments header
    ("", "d"),
    # answers that set a cookie are stored with it
    ("        proxy_ignore_headers Set-Cookie;\n", "c"),
], ids=["request_uri", "default-key", "ignore-set-cookie"])
def test_without_the_recipe(nginx, app, directives, other):
    start(nginx, app, directives)
    # a's first answer sets a cookie only where that is the fault shown
    v = visitors(nginx, sessions="abcd" if other != "c" else "")
    first = v["a"].get("/promo")
    assert first.header("X-Cache") == "MISS"
    assert first.body == promo("a")
    second = v[other].get("/promo")
    assert second.header("X-Cache") == "HIT"
    assert second.body == promo("a")
    if other == "c":
        assert (SESSION, "s-" + v["a"].code) in v["c"].cookies_set()
    else:
        assert second.body != promo(other)
