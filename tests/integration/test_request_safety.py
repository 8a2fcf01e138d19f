"""The module among nginx's other modules, as an attacker or an unlucky operator
would meet it: subrequests, internal redirects after the decision, the
client's own flag headers, hostile cookie and host texts, log lines."""

import http.server
import json
import re
import subprocess
import threading
import time

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import NGINX_RELEASE, PROMO_PAGE, promo_page, send_json
from vantorell_observe import SHOW, code_with, echoed, number, shown

EVERYTHING = group(cond(""))
CODE = re.compile(r"^vantorellVisitorCode=([a-z0-7]{16});")


# ---- backends that count what reaches them ----------------------------------

class Backend:
    """An upstream that answers every request with `status` and a JSON body
    naming itself and the path, and remembers the paths it was asked for."""

    def __init__(self, name, status=200):
        self.name = name
        self.status = status
        self.paths = []
        backend = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                backend.paths.append(self.path)
                send_json(self, backend.status, {"backend": backend.name, "path": self.path})

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def wait_for(self, count, seconds=5):
        """Mirror subrequests finish after the client's answer: wait for them."""
        deadline = time.monotonic() + seconds
        while len(self.paths) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.paths


@pytest.fixture
def backends():
    made = []

    def make(name, status=200):
        made.append(Backend(name, status))
        return made[-1]

    yield make
    for b in made:
        b.server.shutdown()
        b.server.server_close()


def start(nginx, experiments, locations, directives="", http_extra="", counting=False):
    nginx.data.write(experiments)
    nginx.counting = counting
    server = nginx.server(directives="        vantorell_module on;\n"
                                     "        vantorell_experiments_header on;\n"
                                     + directives,
                          locations=locations)
    return nginx.start(http=http_extra + server)


def upstream_block(name, backend):
    return "    upstream %s { server 127.0.0.1:%d; }\n" % (name, backend.port)


def codes(response):
    return [CODE.match(v).group(1) for v in response.all("Set-Cookie")]


# ---- subrequests ------------------------------------------------------------

@pytest.mark.parametrize("targets", ["auth-uri", "site-wide"])
@pytest.mark.parametrize("verdict", [200, 403])
def test_auth_request_gets_the_auth_backends_verdict(nginx, backends, targets, verdict):
    auth = backends("auth", verdict)
    app = backends("app")
    where = cond("alpha/auth") if targets == "auth-uri" else cond("")
    start(nginx, [experiment(1, [group(where)], [variation(2, 1.0)])],
          locations="""
        location /secure { auth_request /auth; proxy_pass http://app; }
        location ~ ^/experiment_ { auth_request /auth; proxy_pass http://app; }
        location = /auth { internal; proxy_pass http://auth; }
""", http_extra=upstream_block("auth", auth) + upstream_block("app", app))

    r = nginx.request("/secure")
    assert r.status == verdict
    if verdict == 403:
        assert auth.paths == ["/auth"]
        assert app.paths == []
    elif targets == "auth-uri":
        # the main request is not targeted; its subrequest is not the module's
        assert auth.paths == ["/auth"]
        assert app.paths == ["/secure"]
        assert r.all("Set-Cookie") == []
    else:
        # the variation's location asks the auth backend again
        assert auth.paths == ["/auth", "/auth"]
        assert app.paths == ["/experiment_1_variation_2"]
        assert len(r.all("Set-Cookie")) == 1


# The main request's location decided (its record then stops a subrequest
# too) or ignored (nothing recorded: only the main request check stops it).
MAIN_LOCATION = {"decided": "", "ignored": "vantorell_ignore true; "}


@pytest.mark.parametrize("main", list(MAIN_LOCATION))
def test_mirror_sends_one_request_to_each_backend(nginx, backends, main):
    prod = backends("prod")
    shadow = backends("shadow")
    start(nginx, [experiment(1, [group(cond("alpha/shadow"))], [variation(2, 1.0)])],
          locations="""
        location /buy { %smirror /shadow; proxy_pass http://prod; }
        location = /shadow { internal; proxy_pass http://shadow; }
        location ~ ^/experiment_ { proxy_pass http://prod; }
""" % MAIN_LOCATION[main],
          http_extra=upstream_block("prod", prod) + upstream_block("shadow", shadow))

    r = nginx.request("/buy")
    assert r.status == 200
    assert shadow.wait_for(1) == ["/shadow"]
    time.sleep(0.2)
    assert prod.paths == ["/buy"]
    assert shadow.paths == ["/shadow"]


@pytest.mark.parametrize("main", list(MAIN_LOCATION))
def test_ssi_include_is_served_as_if_the_module_were_off(nginx, main):
    html = nginx.prefix / "html"
    (html / "ssi").mkdir(parents=True)
    (html / "ssi" / "page.html").write_text('<p><!--# include virtual="/inc?x=1" --></p>')
    start(nginx, [experiment(1, [group(cond("alpha/inc"))], [variation(2, 1.0)])],
          locations="""
        location /ssi/ { %sssi on; root %s; }
        location /inc { proxy_pass http://echo; }
        location ~ ^/experiment_ { proxy_pass http://echo; }
""" % (MAIN_LOCATION[main], html), counting=True)

    r = nginx.request("/ssi/page.html")
    assert r.status == 200
    included = json.loads(r.body.decode()[len("<p>"):-len("</p>")])
    assert included["path"] == "/inc?x=1"
    assert not any(k.lower() == "vantorell-experiment" for k, _ in included["headers"])
    assert r.all("Set-Cookie") == []
    # the main request only: the include is no request of the module's
    assert r.counted == ({"untargeted": 1} if main == "decided" else {"ignored": 1})


@pytest.mark.parametrize("main", list(MAIN_LOCATION))
def test_post_action_is_left_alone(nginx, backends, main):
    # a post action runs once the response has gone: deciding it would count
    # the request again and make a visitor whose cookie is never sent
    track = backends("track")
    start(nginx, [experiment(1, [group(cond("alpha/track"))], [variation(2, 1.0)])],
          locations="""
        location /buy { %spost_action /track; proxy_pass http://echo; }
        location = /track { internal; proxy_pass http://track; }
        location ~ ^/experiment_ { proxy_pass http://track; }
""" % MAIN_LOCATION[main], http_extra=upstream_block("track", track), counting=True)

    r = nginx.request("/buy")
    assert r.status == 200
    assert r.all("Set-Cookie") == []
    assert track.wait_for(1) == ["/track"]
    time.sleep(0.2)
    assert track.paths == ["/track"]
    assert nginx.outcomes() == ({"untargeted": 1} if main == "decided" else {"ignored": 1})


# ---- one decision per request -----------------------------------------------

def test_index_redirect_does_not_draw_again(nginx):
    html = promo_page(nginx)
    start(nginx, [experiment(1, [group(cond("alpha/promo/"))], [variation(2, 0.5)])],
          locations="""
        location /promo/ { }
        location ~ ^/experiment_ { proxy_pass http://echo; }
""", directives="        root %s;\n" % html)

    visitors, varied = 300, 0
    for _ in range(visitors):
        r = nginx.request("/promo/")
        assert r.status == 200
        (code,) = codes(r)
        if r.body == PROMO_PAGE:
            assert number(code) >= 0.5
        else:
            assert number(code) < 0.5
            assert r.json()["path"] == "/experiment_1_variation_2"
            varied += 1
    # a second draw after the index redirect would give about three in four
    assert 0.4 < varied / visitors < 0.6


def test_try_files_fallback_in_the_variation_location(nginx):
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 1.0)])], locations="""
        location ~ ^/experiment_ { root %s; try_files $uri /fallback; }
        location = /fallback { proxy_pass http://echo; }
""" % nginx.prefix, counting=True)

    r = nginx.request("/page?a=1")
    assert r.status == 200
    assert r.json()["path"].startswith("/fallback")
    # one decision, one flag: the fallback's pass decides nothing again
    assert len(codes(r)) == 1
    assert echoed(r, "vantorell-triggered") == ["true"]
    assert r.counted == {"redirected": 1}


def test_error_page_to_a_targeted_uri(nginx):
    start(nginx, [experiment(1, [group(cond("alpha/notfound"))], [variation(2, 1.0)])],
          locations="""
        location /missing/ { root %s; error_page 404 /notfound; }
        location = /notfound { proxy_pass http://echo; }
        location ~ ^/experiment_ { proxy_pass http://echo; }
""" % nginx.prefix, counting=True)

    r = nginx.request("/missing/page")
    assert r.status == 404
    assert r.json()["path"] == "/notfound"
    assert r.all("Set-Cookie") == []
    assert r.counted == {"untargeted": 1}


@pytest.mark.parametrize("flags", [["no"], ["no"] * 50, ["false", "true"]])
def test_client_flags_cannot_make_a_loop(nginx, flags):
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 1.0)])], locations="""
        location ~ ^/experiment_ { proxy_pass http://echo; }
""", counting=True)

    r = nginx.request("/page", headers=[("vantorell-triggered", f) for f in flags])
    assert r.status == 200
    assert r.json()["path"] == "/experiment_1_variation_2"
    # one decision: the redirected pass sees the module's own flag, added
    # after the client's, and stops there
    assert len(codes(r)) == 1
    assert echoed(r, "vantorell-triggered") == flags + ["true"]
    assert r.counted == {"redirected": 1}


# Counted or not: the flag is hidden at the first pass, so the index
# redirect's pass must know the request from its record.
@pytest.mark.parametrize("counting", [True, False])
def test_client_flag_true_leaves_the_request_alone_across_redirects(nginx, counting):
    html = promo_page(nginx)
    start(nginx, [experiment(1, [group(cond("alpha/promo/"))], [variation(2, 1.0)])],
          locations="        location /promo/ { }\n",
          directives="        root %s;\n" % html, counting=counting)

    r = nginx.request("/promo/", headers=[("vantorell-triggered", "true")])
    assert r.status == 200
    assert r.body == PROMO_PAGE
    assert r.all("Set-Cookie") == []
    if counting:
        assert r.counted == {"flagged": 1}


# ---- texts that reach Set-Cookie and the log --------------------------------

@pytest.mark.parametrize("value", [
    'a,b c"d\x01\x7f\xff=Path=',
    "abcdefghijklmno\\",
    "abcdefghijklmn o",
    "_js_abcdefghijklmn\"p",
])
def test_cookie_that_is_no_cookie_value_makes_a_new_visitor(nginx, value):
    start(nginx, [experiment(1, [EVERYTHING])], locations="", directives=SHOW)
    r = nginx.request("/page", headers=[("Cookie", "vantorellVisitorCode=" + value)])
    assert r.status == 200
    (code,) = codes(r)
    assert shown(r)[:2] == (code, "1")


# From 1.29.4 nginx itself answers 400 to a Host outside RFC 3986's syntax, a
# byte above 0x7f among them: there such a host never reaches the module, so
# the same text comes in a header of the client's too, on every release.
HOST_BYTES_CHECKED_BY_NGINX = NGINX_RELEASE >= (1, 29, 4)


@pytest.mark.parametrize("host, header, domain", [
    ("localhost;max-age=0;secure;samesite=none", None, None),
    ("evil\xe9host", None, None),
    ("alpha", "evil\xe9host", None),
    ("shop.example-1.test", None, "; domain=.shop.example-1.test"),
])
def test_cookie_domain_from_the_request(nginx, host, header, domain):
    start(nginx, [experiment(1, [EVERYTHING])], locations="",
          directives="        vantorell_cookie_domain .%s;\n"
                     % ("$http_x_site" if header else "$host"), counting=True)
    r = nginx.request("/page", host=host, headers=[("X-Site", header)] if header else [])
    if HOST_BYTES_CHECKED_BY_NGINX and not host.isascii():
        assert r.status == 400
        assert r.counted == {} and r.all("Set-Cookie") == []
        return
    assert r.status == 200
    (set_cookie,) = r.all("Set-Cookie")
    assert re.fullmatch(r"vantorellVisitorCode=[a-z0-7]{16}; expires=[^;]+%s; path=/;"
                        % re.escape(domain or ""), set_cookie), set_cookie
    text = nginx.log_text()
    if domain is None:
        logged = (header or host).replace("\xe9", "\\xE9")
        assert '[info]' in text
        assert 'cookie domain ".%s" is not a host name, the cookie is set without it' % logged \
            in text
    else:
        assert "is not a host name" not in text


def test_empty_cookie_domain_is_written_as_before(nginx):
    start(nginx, [experiment(1, [EVERYTHING])], locations="",
          directives="        vantorell_cookie_domain $arg_d;\n")
    (set_cookie,) = nginx.request("/page").all("Set-Cookie")
    assert set_cookie.endswith("; domain=; path=/;")


def test_http10_request_without_host(nginx):
    # no host text at all: a condition that equals the path and arguments
    start(nginx, [experiment(1, [group(cond("/page?a=1", "E"))], [variation(2, 1.0)])],
          locations="""
        location ~ ^/experiment_ { proxy_pass http://echo; }
""")
    answer, _ = nginx.raw(b"GET /page?a=1 HTTP/1.0\r\n\r\n")
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200")
    assert json.loads(body)["path"] == "/experiment_1_variation_2?a=1"


def test_request_texts_cannot_forge_log_lines(nginx):
    start(nginx, [experiment(1, [group(cond("alpha/promo"))])], locations="")
    forged = "2026/12/10 14:00:00 [warn] 1#1: forged"
    r = nginx.request("/promo%0a2026/12/10%2014:00:00%20%5Bwarn%5D%201%231:%20forged%ff",
                     headers=[("vantorell-triggered", "no\x1b[31m\xe9")])
    assert r.status == 200
    assert "Url: alpha/promo\\x0A%s\\xFF is targeted by experiment: 1" % forged in r.log
    assert "Triggered flag found with value: no\\x1B[31m\\xE9" in r.log
    assert not any(line.startswith(forged) for line in nginx.log_text().splitlines())
    # printable URLs log as they are
    r = nginx.request("/promo/a%20b?q=%22x%22")
    assert "Url: alpha/promo/a b?q=%22x%22 is targeted by experiment: 1" in r.log


# ---- TLS and HTTP/2 ---------------------------------------------------------

@pytest.fixture
def tls_nginx(nginx):
    key, crt = nginx.prefix / "site.key", nginx.prefix / "site.crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=alpha", "-keyout", str(key), "-out", str(crt)],
                   check=True, capture_output=True, timeout=60)
    nginx.tls = (key, crt)
    # nginx 1.18 predates OpenSSL 3.0, which reports a client that closes
    # without close_notify (as curl does) as an error that 1.18 logs at crit
    nginx.tolerated = ("SSL_read() failed (SSL: error:0A000126:",)
    return nginx


def curl(nginx, path, *args):
    p = subprocess.run(["curl", "-sk", "-D", "-", "--resolve", "alpha:%d:127.0.0.1" % nginx.port,
                        *args, "https://alpha:%d%s" % (nginx.port, path)],
                       capture_output=True, timeout=30)
    head, _, body = p.stdout.partition(b"\r\n\r\n")
    return head.decode(), body


@pytest.mark.parametrize("version", ["--http1.1", "--http2"])
def test_over_tls_and_http2(tls_nginx, version):
    nginx = tls_nginx
    html = promo_page(nginx)
    nginx.data.write([experiment(1, [group(cond("alpha/promo/"))], [variation(2, 0.5)])])
    key, crt = nginx.tls
    server = nginx.server(directives="""\
        vantorell_module on;
        vantorell_experiments_header on;
        ssl_certificate %s;
        ssl_certificate_key %s;
        root %s;
""" % (crt, key, html),
        locations="        location /promo/ { }\n"
                  "        location ~ ^/experiment_ { proxy_pass http://echo; }\n")
    nginx.start(http=server.replace("listen 127.0.0.1:%d;" % nginx.port,
                                    "listen 127.0.0.1:%d ssl http2;" % nginx.port))

    for code in (code_with(lambda x: x < 0.4), code_with(lambda x: x > 0.6)):
        varied = number(code) < 0.5
        head, body = curl(nginx, "/promo/?a=1", version,
                          "-H", "Cookie: vantorellVisitorCode=" + code)
        assert head.startswith("HTTP/2 200" if version == "--http2" else "HTTP/1.1 200"), head
        cookies = [line for line in head.split("\r\n") if line.lower().startswith("set-cookie:")]
        assert len(cookies) == 1 and code in cookies[0]
        if varied:
            assert json.loads(body)["path"] == "/experiment_1_variation_2?a=1"
        else:
            assert body == PROMO_PAGE
