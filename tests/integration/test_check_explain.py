"""vantorell-check explain against the built nginx: the same data file, URLs
and visitor codes must give the same targeted experiments, variations,
experiments header and location."""

import hashlib
import itertools
import json
import subprocess

import pytest

from vantorell_harness import CHECK, cond, experiment, group, variation

VARIATIONS = "        location ~ ^/experiment_ { proxy_pass http://echo; }\n"

# Contains, equals and patterns; hosts; a group joined by "&"; a reference
# share; an experiment of id 0 (never targeted); two experiments targeting
# one URL, so that the first in the file decides the location.
EXPERIMENTS = [
    experiment(11, [group(cond("/promo"))], [variation(1, 0.5), variation(2, 0.5)]),
    experiment(22, [group(cond(r"^alpha/shop(/|\?|$)", match="R"),
                          cond("/shop/admin", include="N", op="&"))],
               [variation(5, 0.3), variation(6, 0.3)]),
    experiment(33, [group(cond("alpha/exact?q=1", match="E"))], [variation(7, 1.0)]),
    experiment(0, [group(cond(""))], [variation(8, 1.0)]),
    experiment(44, [group(cond("beta")), group(cond("/shop", include="N"), op="&")],
               [variation(9, 0.5), variation(10, 0.25)]),
    experiment(2147483648, [group(cond("/big"))], [variation(3000000000, 1.0)]),
]

URLS = [
    ("alpha", "/"), ("alpha", "/promo"), ("alpha", "/promo/x?a=1&b=2"),
    ("alpha", "/shop"), ("alpha", "/shop/?q"), ("alpha", "/shop/admin/x"),
    ("alpha", "/shopping"), ("alpha", "/exact?q=1"), ("alpha", "/exact?q=12"),
    ("beta", "/"), ("beta", "/promo?z"), ("beta", "/shop/x"), ("alpha", "/big"),
    # nginx decodes and normalises the path, never the arguments; a host
    # in another case and with a port
    ("alpha", "/%70romo?q=%70"), ("alpha", "//shop//x"), ("alpha", "/x/../exact?q=1"),
    ("alpha", "/shop/./admin/"), ("BETA:8080", "/"), ("alpha", "/?"),
]



def code_in(low, high):
    """A code whose number lies in [low, high): the codes below reach every
    variation of the experiments above, and the reference."""
    for n in itertools.count():
        code = "visitor%09d" % n
        if low <= int(hashlib.sha256(code.encode()).hexdigest(), 16) / 2 ** 256 < high:
            return code


CODES = [code_in(*bounds) for bounds in
         [(0, 0.25), (0.25, 0.3), (0.3, 0.5), (0.5, 0.6), (0.6, 0.75), (0.75, 1)]]

# the code where the module reads it: among other cookies, in the front end's
# "_js_" form, and as the first 16 bytes of a longer value
COOKIES = ([("vantorellVisitorCode=" + code) for code in CODES]
           + ["a=1; vantorellVisitorCode=_js_%s; b=2" % CODES[0],
              "other=1;vantorellVisitorCode=%stail" % CODES[3]])


def explain(data_path, host, path, cookie):
    p = subprocess.run([str(CHECK), "explain", str(data_path), path, "--host", host,
                        "--cookie", cookie, "--format", "json"],
                       capture_output=True, text=True, timeout=30)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


def experiments_header(response):
    values = [v for k, v in response.json()["headers"] if k.lower() == "vantorell-experiment"]
    return values[0] if values else None


@pytest.mark.parametrize("cookie", COOKIES)
def test_explain_agrees_with_nginx(nginx, cookie):
    nginx.data.write(EXPERIMENTS)
    nginx.start(directives="        vantorell_module on;\n"
                           "        vantorell_experiments_header on;\n",
                locations=VARIATIONS)
    for host, path in URLS:
        said = explain(nginx.data.path, host, path, cookie)
        r = nginx.request(path, headers=[("Cookie", cookie)], host=host)
        assert r.status == 200, (host, path)
        case = (host, path, said)
        assert said["visitor"]["source"].startswith("cookie"), case
        seen = r.json()["path"]
        if said["location"]:
            assert seen == said["location"], case
        else:
            # the request as sent (the echo's own parser folds a leading "//")
            assert not seen.startswith("/experiment_"), case
        assert experiments_header(r) == said["header"], case
        pairs = ", ".join("%d=%d" % (t["experiment"], t["variation"]) for t in said["targeted"])
        assert pairs == (said["header"] or ""), case
        targeted = [e["id"] for e in said["experiments"] if e["targeted"]]
        assert targeted == [t["experiment"] for t in said["targeted"]], case
        # experiment 0 matches everything, and is never targeted
        [zero] = [e for e in said["experiments"] if e["id"] == 0]
        assert zero["conditions_met"] and not zero["targeted"], case


def test_a_code_inside_another_cookie_is_not_read(nginx):
    # a "," does not separate cookies, on any release
    cookie = 'x="a,vantorellVisitorCode=%s"' % CODES[4]
    nginx.data.write(EXPERIMENTS)
    nginx.start(directives="        vantorell_module on;\n", locations=VARIATIONS)
    said = explain(nginx.data.path, "alpha", "/promo", cookie)
    assert said["visitor"]["source"].startswith("generated"), said["visitor"]
    r = nginx.request("/promo", headers=[("Cookie", cookie)], host="alpha")
    assert r.status == 200
    (set_cookie,) = r.all("Set-Cookie")
    assert not set_cookie.startswith("vantorellVisitorCode=%s;" % CODES[4]), set_cookie


# what vantorell_visitor_id and vantorell_force give, from request headers
ID_AND_FORCE = ("        vantorell_module on;\n"
                "        vantorell_experiments_header on;\n"
                "        vantorell_visitor_id $http_x_account;\n"
                "        vantorell_force $http_x_force;\n")

# ids: plain, an e-mail, bytes beyond ASCII, and empty (the cookie decides);
# lists: applied, to the reference, unknown ids, repeated, a 64-bit id,
# not a list at all, and a pair for an experiment that does not target
FORCES = ["", "11=2", "11=0, 22=6", "11=99, 9=1", "22=5,22=6", "2147483648=3000000000",
          "eleven=2", "44=9"]
IDS = ["acct-1", "someone@example.com", "\u00fcser-\u00e9", ""]


@pytest.mark.parametrize("account", IDS)
def test_explain_with_visitor_id_and_force_agrees_with_nginx(nginx, account):
    nginx.data.write(EXPERIMENTS)
    nginx.start(directives=ID_AND_FORCE, locations=VARIATIONS)
    cookie = COOKIES[1]
    for force in FORCES:
        for host, path in [("alpha", "/promo"), ("alpha", "/shop/x"), ("alpha", "/big"),
                           ("beta", "/promo?z")]:
            p = subprocess.run([str(CHECK), "explain", str(nginx.data.path), path, "--host", host,
                                "--cookie", cookie, "--visitor-id", account, "--force", force,
                                "--format", "json"], capture_output=True, text=True, timeout=30)
            assert p.returncode == 0, p.stderr
            said = json.loads(p.stdout)
            headers = [("Cookie", cookie), ("X-Force", force)]
            if account:
                headers.append(("X-Account", account.encode().decode("latin-1")))
            r = nginx.request(path, headers=headers, host=host)
            case = (account, force, host, path, said)
            assert r.status == 200, case
            assert said["visitor"]["source"] == ("visitor id" if account else "cookie"), case
            seen = r.json()["path"]
            assert seen == said["location"] if said["location"] \
                else not seen.startswith("/experiment_"), case
            assert experiments_header(r) == said["header"], case
            applied = [f for f in (said["force"] or {"pairs": []})["pairs"]
                       if f["fate"] == "applied"]
            assert (said["outcome"] == "forced") == bool(applied), case
            assert (said["force"] or {}).get("malformed", False) == (force == "eleven=2"), case
