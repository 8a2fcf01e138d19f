"""The module's debug lines, word for word and in their order: operators grep
for them.  Every other test reads what nginx shows instead (variables,
upstream headers, Set-Cookie, the status page)."""

import hashlib

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_observe import cookie_code, number

EVERYTHING = group(cond(""))
PROMO = [experiment(101, [group(cond("alpha/promo"))], [variation(1, 0.5), variation(2, 0.3)]),
         experiment(202, [group(cond("alpha/promo"))], [variation(7, 0.5)]),
         experiment(303, [group(cond("alpha/elsewhere"))], [variation(9, 1.0)])]
RETURNING = "abcdefghijklmnop"
# a returning visitor whose own choice is 101=0, 202=0 (the number 0.952)
VISITOR = [("Cookie", "vantorellVisitorCode=" + RETURNING)]

# What a visitor's lines say: {code} the code of Set-Cookie, {cookie} that
# header, {digest} the code's SHA-256, {number} the visitor's number.
NUMBER = ["Added cookie with value: {cookie}", "Visitor Code: {code}", "Sha 256: {digest}",
          "Random generated number: {number}"]

# name: (the data file (None: none), the request's path and headers, the lines)
CASES = {
    "a new visitor, redirected": (
        [experiment(1, [group(cond("alpha/page"))], [variation(2, 1.0)])], "/page?a=1",
        [("vantorell-experiment", "1=0")],
        ["Client's vantorell-experiment headers dropped: 1",
         "Url: alpha/page?a=1 is targeted by experiment: 1",
         "Generating a new cookie value: {code} ", *NUMBER,
         "Vantorell experiment: 1=2",
         "Added flag to stop targeting.",
         "Triggered flag found with value: true"]),
    "a returning visitor on the reference": (
        [experiment(1, [EVERYTHING], [variation(2, 0.0)]),
         experiment(5, [group(cond("nowhere"))], [variation(6, 1.0)]),
         experiment(3, [EVERYTHING], [variation(4, 1.0)])], "/page", VISITOR,
        ["Url: alpha/page is targeted by experiment: 1",
         "Url: alpha/page is targeted by experiment: 3", *NUMBER,
         "Vantorell experiment: 1=0, 3=4",
         "Redirected to the reference."]),
    "the front end's code": (
        [experiment(1, [EVERYTHING], [variation(2, 0.0)])], "/page",
        [("Cookie", "vantorellVisitorCode=_js_" + RETURNING)],
        ["Url: alpha/page is targeted by experiment: 1",
         "Found vantorell cookie from front", *NUMBER,
         "Vantorell experiment: 1=0",
         "Redirected to the reference."]),
    "a visitor id": (
        [experiment(1, [EVERYTHING], [variation(2, 0.0)])], "/page",
        [("X-Account", "account-1234")],
        ["Url: alpha/page is targeted by experiment: 1",
         "Visitor code from the visitor id: {code}", *NUMBER,
         "Vantorell experiment: 1=0",
         "Redirected to the reference."]),
    "an untargeted URL": (
        [experiment(1, [group(cond("alpha/shop"))], [variation(2, 1.0)])], "/page", VISITOR,
        ["Not targeted by any experiment."]),
    "the client's flag": (
        [experiment(1, [EVERYTHING], [variation(2, 1.0)])], "/page",
        [("vantorell-triggered", "true")],
        ["Triggered flag found with value: true"]),
    # the client's first flag is read, once; the redirected pass reads the
    # module's own
    "client's flags that are not the module's": (
        [experiment(1, [EVERYTHING], [variation(2, 1.0)])], "/page",
        VISITOR + [("vantorell-triggered", "no"), ("vantorell-triggered", "true")],
        ["Triggered flag found with value: no",
         "Url: alpha/page is targeted by experiment: 1", *NUMBER,
         "Vantorell experiment: 1=2",
         "Added flag to stop targeting.",
         "Triggered flag found with value: true"]),
    "a client's flag on an untargeted URL": (
        [experiment(1, [group(cond("alpha/shop"))], [variation(2, 1.0)])], "/page",
        [("vantorell-triggered", "no")],
        ["Triggered flag found with value: no",
         "Not targeted by any experiment."]),
    "a data file that cannot be used": (
        None, "/page", VISITOR,
        ["Issue with configuration: Cannot read json file."]),
    "targeting that fails": (
        [experiment(1, [group(cond("(", "R"))], [variation(2, 1.0)])], "/page", VISITOR,
        ["Error in the targeting configuration: "
         "NGINX: Cannot compile regular expression: (, reason: missing )"]),
    "a forced request": (
        PROMO, "/promo?vantorell_force=202=0,101=1", VISITOR,
        ["Url: alpha/promo?vantorell_force=202=0,101=1 is targeted by experiment: 101",
         "Url: alpha/promo?vantorell_force=202=0,101=1 is targeted by experiment: 202",
         *NUMBER,
         "Forced variations: 202=0, 101=1",
         "Vantorell experiment: 101=1, 202=0",
         "Added flag to stop targeting.",
         "Triggered flag found with value: true"]),
}

# What cannot be forced, and what it says between the number and the header.
IGNORED_FORCES = {
    "303=9": [],
    "404=1": ["Forced variation ignored: no experiment 404"],
    "101=9": ["Forced variation ignored: experiment 101 has no variation 9"],
    "101=1,101=0": ["Forced variation ignored: experiment 101 is forced before",
                    "Forced variations: 101=1"],
    "101=2,,": ['Forced variations ignored: "101=2,," is not a list of experiment=variation'],
    "101%3D2": ['Forced variations ignored: "101%3D2" is not a list of experiment=variation'],
    "101=2%0a": ['Forced variations ignored: "101=2%0a" is not a list of '
                 'experiment=variation'],
}


def ignored_force(force, said):
    """The case of a forced request whose list is ignored, in part (101=1
    still applies) or whole (the visitor keeps their own reference)."""
    path = "/promo?vantorell_force=" + force
    applied = force.startswith("101=1")
    return (PROMO, path, VISITOR,
            ["Url: alpha%s is targeted by experiment: %d" % (path, eid) for eid in (101, 202)]
            + NUMBER + said
            + ["Vantorell experiment: " + ("101=1, 202=0" if applied else "101=0, 202=0")]
            + (["Added flag to stop targeting.", "Triggered flag found with value: true"]
               if applied else ["Redirected to the reference."]))


CASES.update(("forced " + force, ignored_force(force, said))
             for force, said in IGNORED_FORCES.items())


def start(nginx, experiments):
    if experiments is not None:
        nginx.data.write(experiments)
    nginx.start(directives="        vantorell_module on;\n"
                           "        vantorell_experiments_header on;\n"
                           "        vantorell_force $arg_vantorell_force;\n"
                           "        vantorell_visitor_id $http_x_account;\n"
                           "        vantorell_cookie_flags secure httponly samesite=lax;\n"
                           "        vantorell_cookie_domain .example.test;\n",
                locations="        location ~ ^/experiment_ { proxy_pass http://echo; }\n")


def expected(lines, response):
    cookie = response.header("Set-Cookie")
    if cookie is None:
        return lines
    code = cookie_code(response)
    return [line.format(code=code, cookie=cookie,
                        digest=hashlib.sha256(code.encode()).hexdigest(),
                        number="%.3f" % number(code))
            for line in lines]


@pytest.mark.parametrize("name", list(CASES))
def test_the_debug_lines_of_a_request(nginx, name):
    experiments, path, headers, lines = CASES[name]
    start(nginx, experiments)
    # the first request reads the data file; the second finds it cached and
    # says the same
    for _ in range(2):
        r = nginx.request(path, headers=headers)
        assert r.status == 200
        assert r.log == expected(lines, r)
