"""What happens to the request: the experiments header and the redirect to the
variation's location, and a visitor's whole journey, as the upstream, the
variables and the status page's counters show them."""

import pytest

from vantorell_harness import cond, experiment, group, variation
from vantorell_observe import SHOW, as_visitor, code_with, echoed, number, shown

EVERYTHING = group(cond(""))
VARIATIONS = "        location ~ ^/experiment_ { proxy_pass http://echo; }\n"


def start(nginx, experiments, header=True):
    nginx.data.write(experiments)
    nginx.counting = True
    directives = "        vantorell_module on;\n" + SHOW
    if header:
        directives += "        vantorell_experiments_header on;\n"
    return nginx.start(directives=directives, locations=VARIATIONS)


@pytest.mark.parametrize("eid, vid, args, location", [
    (12, 3, "?a=1&b=2", "/experiment_12_variation_3?a=1&b=2"),
    (4501, 12, "", "/experiment_4501_variation_12"),
    (2147483647, 2147483647, "", "/experiment_2147483647_variation_2147483647"),
    (2147483648, 3, "", "/experiment_-2147483648_variation_3"),
    (9223372036854775807, 9223372036854775807, "?x", "/experiment_-1_variation_-1?x"),
    (-5, -7, "", "/experiment_-5_variation_-7"),
])
def test_redirect_to_the_variation_location(nginx, eid, vid, args, location):
    start(nginx, [experiment(eid, [EVERYTHING], [variation(vid, 1.0, "http://elsewhere/x")])])
    r = nginx.request("/page" + args)
    assert r.status == 200
    assert r.json()["path"] == location
    # the module flags the request it redirects: the proxy module of every
    # release (1.18 to 1.31) forwards the flag whatever its hash
    assert echoed(r, "vantorell-triggered") == ["true"]
    # and the redirected pass decides nothing again: one cookie, one count
    (cookie,) = r.all("Set-Cookie")
    assert cookie.startswith("vantorellVisitorCode=")
    assert r.counted == {"redirected": 1}


@pytest.mark.parametrize("pairs, value", [
    ([(42, None)], "42=0"),
    ([(12, 3), (7, None), (4501, 12)], "12=3, 7=0, 4501=12"),
    ([(9, 9), (10, 10)], "9=9, 10=10"),
    ([(2147483647, 2147483647)], "2147483647=2147483647"),
    ([(2147483648, 2147483649)], "-2147483648=-2147483647"),
    ([(9223372036854775807, 9223372036854775806)], "-1=-2"),
    ([(-3, -4), (1, 0)], "-3=-4, 1=0"),
])
def test_experiments_header(nginx, pairs, value):
    experiments = [experiment(e, [EVERYTHING], [variation(v, 1.0)] if v is not None else [])
                   for e, v in pairs]
    start(nginx, experiments)
    r = nginx.request("/page", headers=[("vantorell-experiment", "client")])
    assert r.status == 200
    assert echoed(r, "vantorell-experiment") == [value]
    assert shown(r, "experiments") == value


def client_headers(*names):
    """The client's headers: ("E", n) stands for n experiments headers of its
    own, "x" for one other header.  nginx keeps request headers in parts of
    20 (the first holds Host): long runs cut across the parts."""
    headers, others = [], 0
    for name in names:
        if name == "x":
            headers.append(("X-Other-%d" % others, str(others)))
            others += 1
        else:
            spellings = ["vantorell-experiment", "Vantorell-Experiment",
                         "VANTORELL-EXPERIMENT"]
            headers += [(spellings[i % 3], "202=2") for i in range(name[1])]
    return headers


# name: (the path, the client's headers, what the upstream hears)
CLIENT_EXPERIMENTS = {
    "an untargeted page": ("/about", client_headers(("E", 1)), []),
    "a targeted page": ("/shop", client_headers(("E", 1)), ["1=2"]),
    "the client's flag": ("/shop", client_headers(("E", 1)) + [("vantorell-triggered", "true")],
                          []),
    "names in any case, among other headers": (
        "/shop", client_headers("x", ("E", 2), "x", ("E", 1), "x"), ["1=2"]),
    "runs across the list's parts": (
        "/shop", client_headers("x", ("E", 1), "x", ("E", 15), ("E", 25), "x", ("E", 1),
                                *["x", ("E", 1)] * 12, ("E", 3), *["x"] * 30, ("E", 2)),
        ["1=2"]),
    "every header but Host": ("/shop", client_headers(("E", 70)), ["1=2"]),
}


@pytest.mark.parametrize("name", list(CLIENT_EXPERIMENTS))
def test_the_upstream_hears_experiments_from_the_module_only(nginx, name):
    # a client's header would choose its variation at an upstream that
    # renders from the header, even one not yet released
    path, headers, heard = CLIENT_EXPERIMENTS[name]
    start(nginx, [experiment(1, [group(cond("alpha/shop"))], [variation(2, 1.0)])])
    r = nginx.request(path, headers=headers)
    assert r.status == 200
    assert echoed(r, "vantorell-experiment") == heard
    # every other header reaches the upstream, in its order
    assert [(k.lower(), v) for k, v in r.json()["headers"]
            if k.lower().startswith(("x-other-", "vantorell-triggered"))] == \
        [(k.lower(), v) for k, v in headers if k.lower() != "vantorell-experiment"] + \
        ([("vantorell-triggered", "true")] if heard else [])


def test_reference_head_keeps_the_page_while_a_later_experiment_has_a_variation(nginx):
    start(nginx, [experiment(1, [EVERYTHING], [variation(8, 0.0)]),
                  experiment(2, [EVERYTHING], [variation(5, 1.0)])])
    r = nginx.request("/page?q=1")
    assert r.json()["path"] == "/page?q=1"
    assert r.counted == {"reference": 1}
    assert (shown(r, "experiment"), shown(r, "variation")) == ("1", "0")
    assert echoed(r, "vantorell-experiment") == ["1=0, 2=5"]
    assert echoed(r, "vantorell-triggered") == []


def test_header_off(nginx):
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 1.0)])], header=False)
    r = nginx.request("/page", headers=[("vantorell-experiment", "client")])
    assert r.json()["path"] == "/experiment_1_variation_2"
    # without the header the module says nothing to the upstream, and takes
    # nothing away
    assert echoed(r, "vantorell-experiment") == ["client"]


def test_a_visitors_journey(nginx):
    shop = group(cond("alpha/shop"))
    start(nginx, [experiment(1, [shop], [variation(10, 0.5), variation(20, 0.5)]),
                  experiment(2, [group(cond("alpha/shop/cart", "E"))], [variation(30, 0.5)])])

    # a new visitor gets a cookie and lands in the variation its code picks;
    # the variations are summed from the file's last one: 20 below 0.5, 10 above
    first = nginx.request("/shop?item=7")
    code = first.header("Set-Cookie")[len("vantorellVisitorCode="):][:16]
    expected = 20 if number(code) < 0.5 else 10
    assert first.json()["path"] == "/experiment_1_variation_%d?item=7" % expected
    assert echoed(first, "vantorell-experiment") == ["1=%d" % expected]

    # later visits with that cookie, among others as browsers send it, land in
    # the same variation
    browser = [("Cookie", "a=1; vantorellVisitorCode=%s; b=2" % code)]
    for _ in range(3):
        again = nginx.request("/shop?item=8", headers=browser)
        assert again.json()["path"] == "/experiment_1_variation_%d?item=8" % expected

    # on the cart page both experiments target it, one number serves both, and
    # the first experiment in the file decides where the visitor goes
    low = code_with(lambda x: x < 0.4)
    high = code_with(lambda x: x > 0.6)
    assert nginx.request("/shop/cart", headers=as_visitor(high)).json()["path"] == \
        "/experiment_1_variation_10"
    r = nginx.request("/shop/cart", headers=as_visitor(low))
    assert r.json()["path"] == "/experiment_1_variation_20"
    assert echoed(r, "vantorell-experiment") == ["1=20, 2=30"]


def test_visitor_past_every_weight_stays_on_the_page(nginx):
    start(nginx, [experiment(4, [EVERYTHING], [variation(40, 0.5)])])
    high = code_with(lambda x: x > 0.6)
    r = nginx.request("/landing?utm=1", headers=as_visitor(high))
    assert r.json()["path"] == "/landing?utm=1"
    assert echoed(r, "vantorell-experiment") == ["4=0"]
    assert r.counted == {"reference": 1}
    assert (shown(r, "experiment"), shown(r, "variation")) == ("4", "0")
    low = code_with(lambda x: x < 0.4)
    assert nginx.request("/landing", headers=as_visitor(low)).json()["path"] == \
        "/experiment_4_variation_40"
