"""Directives, the handler's gate and the data file stage, in a real nginx."""

import subprocess

import pytest

from vantorell_harness import MODULE, cond, experiment, group
from vantorell_nginx import NGINX_RELEASE
from vantorell_observe import SHOW, data_file, shown

VARIATION_LOCATION = "        location ~ ^/experiment_\\d+_variation_\\d+$ { proxy_pass http://echo; }\n"


# ---- the shared object ------------------------------------------------------

def test_module_exports_only_what_nginx_looks_up():
    # nginx opens modules with RTLD_GLOBAL: any other exported name could bind
    # another module's calls to this one's functions
    p = subprocess.run(["nm", "-D", "--defined-only", str(MODULE)],
                       capture_output=True, text=True, check=True, timeout=30)
    exported = sorted(line.split()[-1] for line in p.stdout.splitlines() if line.strip())
    assert exported == ["ngx_http_vantorell_module", "ngx_module_names",
                        "ngx_module_order", "ngx_modules"]


# ---- directives -------------------------------------------------------------

def server(nginx, directives="", locations=""):
    return nginx.server(directives=directives, locations=locations)


@pytest.mark.parametrize("http_level, srv, loc, ok, complaint", [
    ("vantorell_module on; vantorell_experiments_header on;", "", "", True, None),
    ("", "vantorell_module off; vantorell_experiments_header off;", "", True, None),
    ("", "vantorell_cookie_domain $host;", "", True, None),
    ("", "", "location /a { vantorell_ignore $arg_x; }", True, None),
    ("", "", "location /a { if ($arg_y) { vantorell_ignore true; } }", True, None),
    ("vantorell_cookie_domain example.test;", "", "", False, "not allowed here"),
    ("", "vantorell_ignore true;", "", False, "not allowed here"),
    ("", "", "location /a { vantorell_module on; }", False, "not allowed here"),
    ("", "", "location /a { vantorell_experiments_header on; }", False, "not allowed here"),
    ("vantorell_module maybe;", "", "", False, "invalid value"),
    ("", "vantorell_cookie_domain a b;", "", False, "invalid number of arguments"),
    ("", "vantorell_cookie_domain a; vantorell_cookie_domain b;", "", False, "is duplicate"),
    ("", "", "location /a { vantorell_ignore; }", False, "invalid number of arguments"),
    ("vantorell_data_file /srv/a.json;", "vantorell_data_file b.json;", "", True, None),
    ("", "", "location /a { vantorell_data_file /srv/a.json; }", False, "not allowed here"),
    ("", 'vantorell_data_file "";', "", False, "vantorell_data_file must name a file"),
])
def test_directive_contexts(nginx, http_level, srv, loc, ok, complaint):
    nginx.names_data_file = False       # checked as written, data-file lines included
    conf = "    " + http_level + "\n" + server(nginx, "        " + srv, "        " + loc)
    accepted, output = nginx.check(conf)
    assert accepted == ok, output
    if complaint:
        assert complaint in output


def processed(response):
    """Whether the module decided the request: a test's nginx without a data
    file counts every request it decides as a data error."""
    return response.counted == {"data_error": 1}


@pytest.mark.parametrize("http_level, srv, on", [
    ("", "", False),
    ("vantorell_module on;", "", True),
    ("vantorell_module on;", "vantorell_module off;", False),
    ("vantorell_module off;", "vantorell_module on;", True),
])
def test_switch_is_inherited_from_http_level(nginx, http_level, srv, on):
    nginx.counting = True
    nginx.start("    " + http_level + "\n" + server(nginx, "        " + srv))
    r = nginx.request("/page")
    assert r.status == 200
    assert processed(r) == on
    if not on:
        assert r.counted == {}


def test_ignore_is_inherited_by_nested_locations_only(nginx):
    locations = """
        location /outer {
            vantorell_ignore true;
            proxy_pass http://echo;
            location /outer/inner { proxy_pass http://echo; }
        }
        location /other { proxy_pass http://echo; }
"""
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;", locations))
    assert not processed(nginx.request("/outer"))
    assert not processed(nginx.request("/outer/inner"))
    assert processed(nginx.request("/other"))


# ---- gate -------------------------------------------------------------------

@pytest.mark.parametrize("value, ignored", [
    ("true", True),
    ("trueish", True),
    ("TRUE", False),
    ("tru", False),
    ("", False),
    ("false", False),
])
def test_ignore_expression_compares_its_first_four_characters(nginx, value, ignored):
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;",
                       "        location /x { vantorell_ignore $arg_ig; proxy_pass http://echo; }"))
    r = nginx.request("/x?ig=" + value)
    assert r.status == 200
    assert processed(r) != ignored
    if ignored:
        assert r.counted == {"ignored": 1}


def test_ignore_inside_if_in_location(nginx):
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;",
                       "        location /x { if ($arg_skip) { vantorell_ignore true; } "
                       "proxy_pass http://echo; }"))
    assert not processed(nginx.request("/x?skip=1"))
    assert processed(nginx.request("/x"))


# X-Seen shows whether the flag is still visible to nginx's $http_ variables.
SEEN = "        proxy_set_header X-Seen $http_vantorell_triggered;"
# From nginx 1.23 on, a $http_ variable joins every header of its name; before,
# it held the first one.
JOINED = NGINX_RELEASE >= (1, 23, 0)


@pytest.mark.parametrize("headers, declined, seen", [
    ([("vantorell-triggered", "true")], True, ""),
    ([("vantorell-triggered", "yes")], False, "yes"),
    ([("Vantorell-Triggered", "true")], True, ""),
    ([("vantorell-triggered", "false"), ("vantorell-triggered", "true")], False,
     "false, true" if JOINED else "false"),
])
def test_triggered_flag(nginx, headers, declined, seen):
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;\n" + SEEN))
    r = nginx.request("/page", headers=headers)
    assert r.status == 200
    # the first flag decides, named in any case
    assert r.counted == ({"flagged": 1} if declined else {"data_error": 1})
    echoed = dict((k.lower(), v) for k, v in r.json()["headers"])
    assert echoed.get("x-seen", "") == seen


# ---- data file --------------------------------------------------------------

INCOMPLETE = [experiment(1, []), experiment(2, []),
              {"baseUrl": "b", "targetingConfiguration": "P", "variations": [], "conditionsData": []}]


@pytest.mark.parametrize("content, text", [
    (None, "Cannot read json file."),
    ("", "Cannot read json file."),
    ("{", "Cannot read json file."),
    ("null", "Cannot read json file."),
    ('{"experimentId": 1}', "Cannot read json file."),
    ("[]", "File is empty."),
    (INCOMPLETE, "Cannot read experiment id field of experiment number 3."),
    ([{"experimentId": 1}], "Cannot read baseUrl field of experiment number 1."),
    ([experiment(1, []), {**experiment(2, []), "variations": "none"}],
     "Cannot read variations field of experiment number 2."),
    ([{**experiment(1, []), "conditionsData": None}],
     "Cannot read conditions data field of experiment number 1."),
])
def test_unusable_data_file_declines_with_the_readers_text(nginx, content, text):
    if content is not None:
        nginx.data.write(content)
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;"))
    r = nginx.request("/page")
    assert r.status == 200
    assert r.json()["path"] == "/page"
    assert r.counted == {"data_error": 1}
    assert data_file(nginx.status_page(), nginx.data.path)["problem"] == text


def deep(n):
    return "[" * n + "]" * n


@pytest.mark.parametrize("content", [
    b"\x00\xff\xfe garbage",
    deep(100000),
    '[{"baseUrl": 1, "experimentId": 99999999999999999999999, "targetingConfiguration": 7,'
    ' "variations": {"a": 1}, "conditionsData": [7, null, "x"]}]',
    '[{"baseUrl": "b", "experimentId": 1, "targetingConfiguration": "P", "variations": [[]],'
    ' "conditionsData": [{"orOperator": "|", "conditions": {"x": 1}}]}]',
    '[1, 2, 3]',
    '[' + ','.join(['{"baseUrl":"b","experimentId":%d,"targetingConfiguration":"P",'
                    '"variations":[],"conditionsData":[]}' % i for i in range(2000)]) + ']',
], ids=["binary", "deep-nesting", "wrong-types", "nested-wrong-types", "numbers", "2000-experiments"])
def test_malformed_data_files_never_hurt_the_worker(nginx, content):
    nginx.data.write(content)
    nginx.start(server(nginx, "        vantorell_module on;"))
    for _ in range(3):
        r = nginx.request("/page?a=1")
        assert r.status == 200
        assert r.json()["path"] == "/page?a=1"
    nginx.assert_healthy()


def test_data_file_change_takes_effect_with_the_next_request(nginx):
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;"))
    assert nginx.request("/page").counted == {"data_error": 1}
    nginx.data.write([experiment(5, [group(cond("nomatch"))])])
    assert nginx.request("/page").counted == {"untargeted": 1}


def test_rewrite_in_place_of_the_same_size_takes_effect_at_once(nginx):
    import json
    texts = [json.dumps([experiment(i, [group(cond(""))])]) for i in (1, 2)]
    assert len(texts[0]) == len(texts[1])
    nginx.data.write(texts[0])
    nginx.start(server(nginx, "        vantorell_module on;\n" + SHOW))
    for i in range(20):
        nginx.data.rewrite_in_place(texts[i % 2])
        r = nginx.request("/page")
        assert shown(r, "experiments") == "%d=0" % (i % 2 + 1)


@pytest.mark.parametrize("content", [
    [experiment(1, [group(cond("(", "R"))])],
    [experiment(1, [group(cond("page"))]), experiment(2, [group(cond("x", "C"))], letter="Q")],
    "[{\"baseUrl\": \"b\"}]",
    [experiment(1, [group(cond("page"))]), experiment(2, [group(cond("^alpha/p", "R"))])],
], ids=["bad-pattern", "bad-letter", "incomplete", "targeted"])
def test_every_request_ends_as_the_first_one(nginx, content):
    # a cached model says what the first reading of the file said
    nginx.data.write(content)
    nginx.counting = True
    nginx.start(server(nginx, "        vantorell_module on;\n" + SHOW))
    import re
    cookie = [("Cookie", "vantorellVisitorCode=abcdefghijklmnop")]

    def seen():
        r = nginx.request("/page?a=1", headers=cookie)
        # the cookie's expiry follows the clock, everything else must not move
        return (r.status, r.json()["path"], r.counted, shown(r),
                [re.sub(r"expires=[^;]*", "expires=", c) for c in r.all("Set-Cookie")])

    first = seen()
    assert first[2]
    for _ in range(3):
        assert seen() == first


@pytest.mark.default_data_file
def test_data_file_directive_names_the_file_per_server(nginx, tmp_path):
    import json
    (tmp_path / "own.json").write_text(json.dumps([experiment(31, [group(cond(""))])]))
    (tmp_path / "relative.json").write_text(json.dumps([experiment(32, [group(cond(""))])]))
    nginx.data.write([experiment(30, [group(cond(""))])])
    http = (nginx.server(directives="        vantorell_module on;\n"
                                    "        vantorell_data_file %s/own.json;" % tmp_path)
            + nginx.server(directives="        vantorell_module on;\n"
                                      "        vantorell_data_file relative.json;",
                           server_name="relative")
            + nginx.server(directives="        vantorell_module on;", server_name="default"))
    nginx.start(SHOW + http)
    for host, eid in (("alpha", 31), ("relative", 32), ("default", 30)):
        r = nginx.request("/", host=host)
        assert shown(r, "experiments") == "%d=0" % eid
