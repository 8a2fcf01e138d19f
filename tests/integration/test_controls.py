"""Experiment controls: a forced QA preview, the cookie's attributes and
lifetime, a visitor code from a visitor id, and the recipes that keep bots
and visitors without consent out of experiments."""

import calendar
import email.utils
import hashlib
import http.client
import json
import re
import time

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_nginx import pages
from vantorell_observe import (SHOW, as_visitor, code_with, cookie_code, data_file, echoed,
                               number, requests, shown, status, the_experiment)

EVERYTHING = group(cond(""))
VARIATIONS = "        location ~ ^/experiment_ { proxy_pass http://echo; }\n"
ALPHABET = "abcdefghijklmnopqrstuvwxyz01234567"


def code_of_id(value):
    """The visitor code of a visitor id, by the rule docs/directives.md gives."""
    code, n = "", 0
    while len(code) < 16:
        digest = hashlib.sha256(value if n == 0 else value + n.to_bytes(4, "big")).digest()
        code += "".join(ALPHABET[b % 34] for b in digest if b < 238)
        n += 1
    return code[:16]


# ---- vantorell_force --------------------------------------------------------

# Experiments 101 (variations 1, 2; the reference above 0.8) and 202 (variation
# 7 at 0.5) target /promo; 303 targets /elsewhere only.
PROMO = [experiment(101, [group(cond("alpha/promo"))], [variation(1, 0.5), variation(2, 0.3)]),
         experiment(202, [group(cond("alpha/promo"))], [variation(7, 0.5)]),
         experiment(303, [group(cond("alpha/elsewhere"))], [variation(9, 1.0)])]

# the documented gate: only the office network may preview
GATED = """\
    geo $remote_addr $vantorell_office {{
        default    0;
        {office}   1;
    }}
    map $vantorell_office $vantorell_preview {{
        default    "";
        1          $arg_vantorell_force;
    }}
"""


def start_forced(nginx, office="127.0.0.1/32", directives=""):
    nginx.data.write(PROMO)
    nginx.counting = True
    server = nginx.server(directives="        vantorell_module on;\n"
                          "        vantorell_experiments_header on;\n"
                          "        vantorell_force $vantorell_preview;\n" + SHOW + directives,
                          locations=VARIATIONS)
    return nginx.start(http=GATED.format(office=office) + server)


# a returning visitor whose own choice is the reference of both
HIGH = code_with(lambda u: 0.85 < u < 0.9)
# the choice sums from the file's last variation: 2 below 0.3, 1 up to 0.8
LOW = code_with(lambda u: u < 0.25)


@pytest.mark.parametrize("visitor, force, path, experiments", [
    # the deciding experiment's variation moves the redirect
    (HIGH, "101=2", "/experiment_101_variation_2?vantorell_force=101=2", "101=2, 202=0"),
    (HIGH, "202=0,101=1", "/experiment_101_variation_1?vantorell_force=202=0,101=1",
     "101=1, 202=0"),
    # another experiment's: only the header and the variables show it
    (HIGH, "202=7", "/promo?vantorell_force=202=7", "101=0, 202=7"),
    # forcing the reference keeps the page
    (LOW, "101=0", "/promo?vantorell_force=101=0", "101=0, 202=7"),
])
def test_forced_variation_drives_everything_downstream(nginx, visitor, force, path,
                                                       experiments):
    start_forced(nginx)
    r = nginx.request("/promo?vantorell_force=" + force, headers=as_visitor(visitor))
    assert r.status == 200
    assert r.json()["path"] == path
    assert echoed(r, "vantorell-experiment") == [experiments]
    assert shown(r, "experiments") == experiments
    # the visitor stays who they are
    assert (cookie_code(r), shown(r, "visitor_code"), shown(r, "visitor_new")) == \
        (visitor, visitor, "0")
    assert r.counted == {"forced": 1}
    # and the next request without the argument is theirs again
    again = nginx.request("/promo", headers=as_visitor(visitor))
    assert echoed(again, "vantorell-experiment") == \
        ["101=0, 202=0" if visitor == HIGH else "101=2, 202=7"]
    assert again.counted == ({"reference": 1} if visitor == HIGH else {"redirected": 1})


def test_a_new_visitor_forced_keeps_the_code_it_was_given(nginx):
    start_forced(nginx)
    r = nginx.request("/promo?vantorell_force=101=1")
    code = cookie_code(r)
    assert (shown(r, "visitor_code"), shown(r, "visitor_new")) == (code, "1")
    assert r.json()["path"] == "/experiment_101_variation_1?vantorell_force=101=1"


@pytest.mark.parametrize("force", [
    # forcing never targets: 303 does not target /promo
    "303=9",
    # no such experiment, no such variation, not a list
    "404=1", "101=9", "101=2,,", "101%3D2", "101=2%0a",
])
def test_what_cannot_be_forced_is_ignored(nginx, force):
    start_forced(nginx)
    r = nginx.request("/promo?vantorell_force=" + force, headers=as_visitor(LOW))
    assert r.json()["path"] == "/experiment_101_variation_2?vantorell_force=" + force
    assert echoed(r, "vantorell-experiment") == ["101=2, 202=7"]
    assert r.counted == {"redirected": 1}


def test_a_pair_for_an_experiment_named_before_is_ignored(nginx):
    start_forced(nginx)
    r = nginx.request("/promo?vantorell_force=101=1,101=0", headers=as_visitor(LOW))
    assert r.json()["path"] == "/experiment_101_variation_1?vantorell_force=101=1,101=0"
    assert shown(r, "experiments") == "101=1, 202=7"
    assert r.counted == {"forced": 1}


def test_force_outside_the_gate_does_nothing(nginx):
    # the office is another network: the argument reaches nobody's choice
    start_forced(nginx, office="192.0.2.0/24")
    r = nginx.request("/promo?vantorell_force=101=2", headers=as_visitor(HIGH))
    assert r.json()["path"] == "/promo?vantorell_force=101=2"
    assert shown(r, "experiments") == "101=0, 202=0"
    assert r.counted == {"reference": 1}


def test_forced_requests_are_counted_apart(nginx):
    nginx.data.write([experiment(101, [group(cond("alpha/pages/page"))],
                                 [variation(1, 0.5), variation(2, 0.3)])])
    pages(nginx)
    nginx.start(http=GATED.format(office="127.0.0.1/32") + "    vantorell_metrics_zone 1m;\n"
                + nginx.server(
                    directives="        vantorell_module on;\n"
                               "        vantorell_force $vantorell_preview;\n",
                    locations="        location = /status { vantorell_status; }\n"
                              "        location = /metrics { vantorell_status prometheus; }\n"
                              "        location ~ ^/experiment_ { return 200 \"$uri\\n\"; }\n"
                              "        location /pages/ { root %s; }\n" % nginx.prefix))
    # new and returning visitors, forced to a variation and to the reference
    for force in ("101=2", "101=2", "101=0"):
        assert nginx.request("/pages/page?vantorell_force=" + force).status == 200
    assert nginx.request("/pages/page?vantorell_force=101=1", headers=as_visitor(HIGH)).status \
        == 200
    doc = status(nginx)
    assert requests(doc, nginx.data.path) == {"forced": 4}
    # neither an assignment nor a new visitor: the split check never sees them
    for exp in data_file(doc, nginx.data.path)["experiments"]:
        assert all(v["assignments"] == v["new_visitors"] == 0 for v in exp["variations"])
    text = nginx.request("/metrics").body.decode()
    assert re.search(r'^vantorell_requests_total\{[^}]*outcome="forced"[^}]*\} 4$', text, re.M)

    # what is not forced is counted as before
    assert nginx.request("/pages/page", headers=as_visitor(HIGH)).status == 200
    assert nginx.request("/pages/page?vantorell_force=9=9", headers=as_visitor(HIGH)).status \
        == 200
    doc = status(nginx)
    assert requests(doc, nginx.data.path) == {"forced": 4, "reference": 2}
    exp = the_experiment(doc, nginx.data.path, 101)
    assert {v["id"]: v["assignments"] for v in exp["variations"]} == {0: 2, 1: 0, 2: 0}


# ---- vantorell_cookie_flags and vantorell_cookie_expires -------------------

DATE = "(?P<date>[A-Z][a-z]{2}, \\d\\d-[A-Z][a-z]{2}-\\d\\d(?:\\d\\d)? \\d\\d:\\d\\d:\\d\\d GMT)"
CODE = "abcdefghijklmnop"


@pytest.mark.parametrize("directives, expected, lifetime", [
    ("", "; expires=DATE; path=/;", 14 * 86400),
    ("vantorell_cookie_flags off;", "; expires=DATE; path=/;", 14 * 86400),
    ("vantorell_cookie_flags secure;", "; expires=DATE; path=/; secure;", 14 * 86400),
    ("vantorell_cookie_flags httponly secure;", "; expires=DATE; path=/; secure; httponly;",
     14 * 86400),
    ("vantorell_cookie_flags samesite=lax;", "; expires=DATE; path=/; samesite=lax;", 14 * 86400),
    ("vantorell_cookie_flags SameSite=Strict;", "; expires=DATE; path=/; samesite=strict;",
     14 * 86400),
    ("vantorell_cookie_flags secure httponly samesite=none;",
     "; expires=DATE; path=/; secure; httponly; samesite=none;", 14 * 86400),
    ("vantorell_cookie_expires 1h;", "; expires=DATE; path=/;", 3600),
    ("vantorell_cookie_expires 30d; vantorell_cookie_flags secure;",
     "; expires=DATE; path=/; secure;", 30 * 86400),
    # a date past 2037 is written with four digits, as nginx writes it
    ("vantorell_cookie_expires 60y;", "; expires=DATE; path=/;", 60 * 365 * 86400),
    ("vantorell_cookie_expires max;", "; expires=Thu, 31-Dec-37 23:55:55 GMT; path=/;", None),
    ("vantorell_cookie_expires off;", "; path=/;", None),
    ("vantorell_cookie_expires 0;", "; path=/;", None),
    ("vantorell_cookie_expires off; vantorell_cookie_flags secure samesite=strict;",
     "; path=/; secure; samesite=strict;", None),
])
@pytest.mark.parametrize("domain", [None, ".example.test"])
def test_set_cookie_text(nginx, directives, expected, lifetime, domain):
    nginx.data.write([experiment(3, [EVERYTHING])])
    if domain:
        directives += " vantorell_cookie_domain %s;" % domain
        expected = expected.replace("; path=/", "; domain=%s; path=/" % domain)
    nginx.start(directives="        vantorell_module on;\n        %s\n" % directives)
    r = nginx.request("/page", headers=as_visitor(CODE))
    (cookie,) = r.all("Set-Cookie")
    pattern = re.escape("vantorellVisitorCode=" + CODE + expected).replace("DATE", DATE)
    m = re.fullmatch(pattern, cookie)
    assert m, cookie
    if lifetime is not None:
        expires = m.group("date")
        fmt = "%a, %d-%b-%Y %H:%M:%S GMT" if len(expires) == 29 else "%a, %d-%b-%y %H:%M:%S GMT"
        at = calendar.timegm(time.strptime(expires, fmt))
        date = email.utils.parsedate_to_datetime(r.header("Date")).timestamp()
        assert abs(at - (date + lifetime)) <= 2


def test_cookie_settings_per_server_and_from_http(nginx):
    nginx.data.write([experiment(3, [EVERYTHING])])
    http = ("    vantorell_cookie_flags httponly;\n    vantorell_cookie_expires off;\n"
            + nginx.server(directives="        vantorell_module on;\n")
            + nginx.server(directives="        vantorell_module on;\n"
                                      "        vantorell_cookie_flags secure;\n"
                                      "        vantorell_cookie_expires max;\n",
                           server_name="beta"))
    nginx.start(http=http)
    assert nginx.request("/", headers=as_visitor(CODE)).header("Set-Cookie") == \
        "vantorellVisitorCode=%s; path=/; httponly;" % CODE
    assert nginx.request("/", host="beta", headers=as_visitor(CODE)).header("Set-Cookie") == \
        "vantorellVisitorCode=%s; expires=Thu, 31-Dec-37 23:55:55 GMT; path=/; secure;" % CODE


@pytest.mark.parametrize("directive, said", [
    ("vantorell_cookie_flags secure strict;",
     'invalid flag "strict" of vantorell_cookie_flags: "off", "secure", "httponly", '
     '"samesite=strict", "samesite=lax" or "samesite=none"'),
    ("vantorell_cookie_flags samesite=;", 'invalid flag "samesite="'),
    ("vantorell_cookie_flags secure secure;", 'vantorell_cookie_flags "secure" stands twice'),
    ("vantorell_cookie_flags samesite=lax samesite=strict;",
     'vantorell_cookie_flags takes one samesite value, "samesite=strict" is a second'),
    ("vantorell_cookie_flags off secure;", 'vantorell_cookie_flags "off" stands alone'),
    ("vantorell_cookie_flags;", 'invalid number of arguments in "vantorell_cookie_flags"'),
    ("vantorell_cookie_flags secure; vantorell_cookie_flags httponly;",
     '"vantorell_cookie_flags" directive is duplicate'),
    ("vantorell_cookie_expires 14 days;",
     'invalid number of arguments in "vantorell_cookie_expires"'),
    ("vantorell_cookie_expires fortnight;",
     'invalid value "fortnight" of vantorell_cookie_expires: a time ("14d", "1y 6M"), '
     '"max" or "off"'),
    ("vantorell_cookie_expires -1d;", 'invalid value "-1d" of vantorell_cookie_expires'),
    ("vantorell_cookie_expires 69y;",
     'vantorell_cookie_expires "69y" is too long: at most 68y, or "max"'),
    ("vantorell_cookie_expires 1d; vantorell_cookie_expires max;",
     '"vantorell_cookie_expires" directive is duplicate'),
    ("vantorell_visitor_id;", 'invalid number of arguments in "vantorell_visitor_id"'),
    ("vantorell_force;", 'invalid number of arguments in "vantorell_force"'),
    ("vantorell_force a b;", 'invalid number of arguments in "vantorell_force"'),
])
def test_malformed_directives_fail_nginx_t(nginx, directive, said):
    nginx.data.write([experiment(3, [EVERYTHING])])
    ok, output = nginx.check(nginx.server(directives="        %s\n" % directive))
    assert not ok
    assert said in output, output


def test_force_is_no_http_level_directive(nginx):
    ok, output = nginx.check("    vantorell_force $arg_f;\n")
    assert not ok and '"vantorell_force" directive is not allowed here' in output


def test_samesite_none_without_secure_is_warned_about(nginx):
    nginx.data.write([experiment(3, [EVERYTHING])])
    ok, output = nginx.check(nginx.server(directives="        vantorell_cookie_flags "
                                                     "samesite=none;\n"))
    assert ok, output
    assert re.search(r'\[warn\] \d+#\d+: vantorell_cookie_flags "samesite=none" without '
                     r'"secure": browsers refuse such a cookie in ', output), output


# ---- vantorell_visitor_id -----------------------------------------------------

def start_with_id(nginx, experiments, directives=""):
    nginx.data.write(experiments)
    return nginx.start(directives="        vantorell_module on;\n"
                                  "        vantorell_experiments_header on;\n"
                                  "        vantorell_visitor_id $http_x_account;\n"
                       + SHOW + directives,
                       locations=VARIATIONS)


SPLIT = [experiment(7, [EVERYTHING], [variation(1, 0.5), variation(2, 0.3)])]


def expected_variation(code):
    u = number(code)
    return 2 if u < 0.3 else 1 if u < 0.8 else 0


def test_same_id_same_code_and_variation_on_two_devices(nginx):
    start_with_id(nginx, SPLIT)
    account = [("X-Account", "account-1234")]
    code = code_of_id(b"account-1234")
    # two fresh clients, one with an earlier code of its own
    first = nginx.request("/page", headers=account)
    second = nginx.request("/page", headers=account + as_visitor("zzzzzzzzzzzzzzzz"))
    for r in (first, second):
        assert cookie_code(r) == shown(r, "visitor_code") == code
        assert shown(r, "visitor_new") == "1"
        assert echoed(r, "vantorell-experiment") == ["7=%d" % expected_variation(code)]
    # the id itself is never logged
    assert "account-1234" not in nginx.log_text()
    # back with the cookie the module gave: not new any more
    again = nginx.request("/page", headers=account + as_visitor(code))
    assert (cookie_code(again), shown(again, "visitor_new")) == (code, "0")
    # without the id, the cookie's code is used as before
    anonymous = nginx.request("/page", headers=as_visitor("zzzzzzzzzzzzzzzz"))
    assert cookie_code(anonymous) == "zzzzzzzzzzzzzzzz"


def test_an_empty_id_leaves_the_visitor_as_without_the_directive(nginx):
    start_with_id(nginx, SPLIT)
    returning = nginx.request("/page", headers=[("X-Account", "")] + as_visitor(CODE))
    assert (cookie_code(returning), shown(returning, "visitor_new")) == (CODE, "0")
    new = nginx.request("/page")
    assert (shown(new, "visitor_code"), shown(new, "visitor_new")) == (cookie_code(new), "1")


def test_ids_of_any_bytes(nginx):
    start_with_id(nginx, SPLIT)
    for value in ("\u00fcnic\u00f8de-\u00e9".encode("utf-8"), b"\xff\xfe\x80 ;,\"\\",
                  b"x" * 6000):
        conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
        conn.putrequest("GET", "/page", skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", "alpha")
        conn.putheader("X-Account", value)
        conn.endheaders()
        resp = conn.getresponse()
        body = resp.read()
        conn.close()
        assert resp.status == 200
        code = code_of_id(value)
        assert resp.getheader("Set-Cookie").startswith("vantorellVisitorCode=%s;" % code)
        assert json.loads(body)["path"] == (
            "/page" if expected_variation(code) == 0
            else "/experiment_7_variation_%d" % expected_variation(code))


def test_ids_spread_over_the_variations_by_their_weights(nginx):
    start_with_id(nginx, SPLIT)
    counts = {0: 0, 1: 0, 2: 0}
    conn = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
    for n in range(600):
        value = "user-%d@example.test" % n
        conn.request("GET", "/page", headers={"Host": "alpha", "X-Account": value})
        r = conn.getresponse()
        got = json.loads(r.read())["path"]
        code = code_of_id(value.encode())
        assert r.getheader("X-Vantorell-visitor_code") == code
        want = expected_variation(code)
        assert got == ("/page" if want == 0 else "/experiment_7_variation_%d" % want)
        counts[want] += 1
    conn.close()
    # shares 0.2, 0.5, 0.3 of 600: each count within 4.5 standard deviations
    for vid, share in ((0, 0.2), (1, 0.5), (2, 0.3)):
        sd = (600 * share * (1 - share)) ** 0.5
        assert abs(counts[vid] - 600 * share) < 4.5 * sd, counts


# ---- recipes: bots and consent ------------------------------------------------

# the recipes of docs/directives.md, as written there
BOTS = """\
    map $http_user_agent $vantorell_bot {
        default                                       "";
        ~*(bot|crawl|spider|slurp|preview|lighthouse)  true;
    }
"""
CONSENT = """\
    map $cookie_consent $vantorell_no_consent {
        default  true;
        yes      "";
    }
"""


SERVER_WITH_PAGES = """\
    server {{
        listen 127.0.0.1:{port};
        server_name alpha;
        vantorell_module on;
{show}
        location / {{
            vantorell_ignore "$vantorell_bot$vantorell_no_consent";
            proxy_pass http://echo;
        }}
        location ~ ^/experiment_ {{ proxy_pass http://echo; }}
    }}
"""


@pytest.mark.parametrize("agent, consent, assigned", [
    ("Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0", "yes", True),
    ("Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", "yes", False),
    ("facebookexternalhit/1.1 Preview", "yes", False),
    ("Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0", None, False),
    ("Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0", "no", False),
    ("Googlebot/2.1", None, False),
])
def test_bots_and_visitors_without_consent_stay_out(nginx, agent, consent, assigned):
    nginx.data.write([experiment(3, [EVERYTHING], [variation(4, 1.0)])])
    nginx.counting = True
    server = SERVER_WITH_PAGES.format(port=nginx.port, show=SHOW)
    nginx.start(http=BOTS + CONSENT + server)
    cookies = "consent=%s" % consent if consent else "other=1"
    r = nginx.request("/page", headers=[("User-Agent", agent), ("Cookie", cookies)])
    assert r.status == 200
    assert (r.json()["path"] == "/experiment_3_variation_4") == assigned
    # an ignored visitor gets no cookie and no assignment at all
    assert (r.header("Set-Cookie") is not None) == assigned
    assert (shown(r, "visitor_code") is not None) == assigned
    assert r.counted == ({"redirected": 1} if assigned else {"ignored": 1})
