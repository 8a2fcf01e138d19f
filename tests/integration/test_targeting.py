"""The URL text nginx builds for a request and the experiments it targets."""

import pytest

from vantorell_harness import cond, experiment, group
from vantorell_observe import SHOW, data_file, shown

EVERYTHING = group(cond(""))          # an empty "contains" text matches every URL


def start(nginx):
    nginx.counting = True
    return nginx.start(directives="        vantorell_module on;\n" + SHOW)


def problem(nginx):
    """The data file's problem, as the status page says it."""
    return data_file(nginx.status_page(), nginx.data.path)["problem"]


@pytest.mark.parametrize("path, host, url", [
    ("/", "alpha", "alpha"),
    ("/?a=1", "alpha", "alpha?a=1"),
    ("/shop/?a=1", "alpha", "alpha/shop/?a=1"),
    ("/?", "alpha", "alpha"),
    ("/x", "alpha", "alpha/x"),
    ("/shop", "ALPHA", "alpha/shop"),
    ("/shop?b=2", "Alpha:8080", "alpha/shop?b=2"),
    ("/a%20b/../c", "alpha", "alpha/c"),
])
def test_url_text(nginx, path, host, url):
    # a condition that equals the URL text, and that text only
    nginx.data.write([experiment(7, [group(cond(url, "E"))])])
    start(nginx)
    r = nginx.request(path, host=host)
    assert r.status == 200
    assert shown(r, "experiments") == "7=0"


def test_targeted_experiments_keep_the_file_order(nginx):
    nginx.data.write([experiment(1, [EVERYTHING]), experiment(2, [group(cond("nope"))]),
                     experiment(3, [EVERYTHING]), experiment(4, [EVERYTHING])])
    start(nginx)
    r = nginx.request("/page")
    assert shown(r, "experiments") == "1=0, 3=0, 4=0"


@pytest.mark.parametrize("condition, path, hit", [
    (cond("alpha/shop", "E"), "/shop", True),
    (cond("alpha/shop", "E"), "/shop?a=1", False),
    (cond("Alpha/shop", "E"), "/shop", False),
    (cond("alpha/", "E"), "/", False),
    (cond("shop", "R"), "/shop/item", True),
    (cond("^alpha/(shop|cart)$", "R"), "/cart", True),
    (cond("^alpha/(shop|cart)$", "R"), "/cart/x", False),
    (cond("shop", "C", include="N"), "/shop", False),
    (cond("shop", "C", include="N"), "/home", True),
])
def test_conditions_through_nginx(nginx, condition, path, hit):
    nginx.data.write([experiment(9, [group(condition)])])
    start(nginx)
    r = nginx.request(path)
    assert shown(r, "experiments") == ("9=0" if hit else None)
    if not hit:
        assert r.counted == {"untargeted": 1}
        assert r.header("Set-Cookie") is None


@pytest.mark.parametrize("experiments, text", [
    ([experiment(1, [EVERYTHING]), experiment(2, [group(cond("(", "R"))])],
     "NGINX: Cannot compile regular expression: (, reason: missing )"),
    ([experiment(5, [EVERYTHING], letter="X"), experiment(6, [EVERYTHING], letter="Q")],
     "Targeting configuration type does not exist for experiment 6."),
    ([experiment(5, [group(cond("a", "Z"))])], "Match type does not exist."),
], ids=["bad-pattern", "bad-letter", "bad-match-type"])
def test_targeting_error_declines_and_the_page_is_served(nginx, experiments, text):
    nginx.data.write(experiments)
    start(nginx)
    r = nginx.request("/page?a=1")
    assert r.status == 200
    assert r.json()["path"] == "/page?a=1"
    assert r.counted == {"targeting_error": 1}
    assert problem(nginx) == text
    assert r.header("Set-Cookie") is None


def test_long_error_text_is_cut_to_the_message_buffer(nginx):
    pattern = "(" + "a" * 300
    nginx.data.write([experiment(1, [group(cond(pattern, "R"))])])
    start(nginx)
    r = nginx.request("/page")
    assert r.counted == {"targeting_error": 1}
    text = problem(nginx)
    assert text.startswith("NGINX: Cannot compile regular expression: (aaaa")
    assert len(text) == 99
