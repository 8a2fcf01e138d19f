"""Long, odd and hostile requests and data files: the worker answers, the
module says why it stepped aside, nothing crashes or hangs."""

import json
import os
import re
import subprocess

import pytest

from vantorell_harness import NGINX, cond, experiment, group, variation
from vantorell_nginx import NGINX_RELEASE
from vantorell_observe import SHOW, data_file, echoed, shown

EVERYTHING = group(cond(""))
# from 1.29.8 nginx answers 400 to more than max_headers (1000) header lines
BIG_HEADERS = "        large_client_header_buffers 4 64k;\n" + (
    "        max_headers 10000;\n" if NGINX_RELEASE >= (1, 29, 8) else "")
VARIATIONS = "        location ~ ^/experiment_ { proxy_pass http://echo; }\n"


def start(nginx, experiments, header=True, counting=False):
    nginx.data.write(experiments)
    nginx.counting = counting
    directives = "        vantorell_module on;\n" + BIG_HEADERS + SHOW
    if header:
        directives += "        vantorell_experiments_header on;\n"
    return nginx.start(directives=directives, locations=VARIATIONS)


def problem(nginx):
    """The data file's problem, as the status page says it."""
    return data_file(nginx.status_page(), nginx.data.path)["problem"]


@pytest.mark.parametrize("path", [
    "/" + "p" * 8000,
    "/page?" + "q=" + "v" * 8000,
    "/" + "a/" * 3000 + "?" + "&".join("k%d=%d" % (i, i) for i in range(1000)),
], ids=["long-path", "long-query", "long-both"])
def test_long_urls(nginx, path):
    pattern = cond("^alpha/(a/)*", "R")
    start(nginx, [experiment(1, [group(cond("alpha")), group(pattern, op="|")],
                             [variation(2, 1.0)])])
    r = nginx.request(path)
    assert r.status == 200
    assert r.json()["path"].startswith("/experiment_1_variation_2")
    assert r.json()["path"].endswith(path[path.index("?"):] if "?" in path else "_2")
    nginx.assert_healthy()


def test_runaway_pattern_on_a_long_url_declines_quickly(nginx):
    start(nginx, [experiment(1, [group(cond("(a+)+$", "R"))], [variation(2, 1.0)])],
          counting=True)
    r = nginx.request("/" + "a" * 40 + "!")
    assert r.status == 200
    assert r.json()["path"] == "/" + "a" * 40 + "!"
    assert r.counted == {"targeting_error": 1}
    # which pattern failed on that URL: said by the debug line alone
    assert r.log == ["Error in the targeting configuration: "
                     "Error while matching regular expression: (a+)+$"]


# One budget for the whole URL text: PCRE's own step counter starts afresh at
# every start position, which let each of these hold the worker for tens of
# milliseconds to seconds per request on a URL of 8 KB.
@pytest.mark.parametrize("pattern, path", [
    ("(a+)+$", "/" + ("a" * 14 + "b") * 530),
    ("(a|aa)+$", "/" + ("a" * 14 + "b") * 530),
    (r"(a+)\1+$", "/" + "a" * 8000 + "!"),
    ("a*b[xy]", "/" + "a" * 8000 + "b!"),
    ("a{4000}", "/" + ("a" * 3999 + "b") * 2),
], ids=["nested-repetition", "alternation", "back-reference", "possessive-scan",
        "counted-repetition"])
def test_runaway_pattern_on_an_8k_url_fails_the_targeting_of_that_request(
        nginx, pattern, path):
    start(nginx, [experiment(1, [group(cond(pattern, "R"))], [variation(2, 1.0)])],
          counting=True)
    r = nginx.request(path)
    assert r.status == 200
    assert r.json()["path"] == path
    assert r.counted == {"targeting_error": 1}
    # which pattern failed on that URL: said by the debug line alone
    assert r.log == ["Error in the targeting configuration: "
                     "Error while matching regular expression: " + pattern]
    nginx.assert_healthy()


def test_cookie_with_every_byte_nginx_accepts(nginx):
    start(nginx, [experiment(1, [EVERYTHING])])
    odd = bytes(b for b in range(1, 256) if b not in (10, 13, ord(";"), ord(","))).decode("latin-1")
    for i in range(0, len(odd) - 16, 16):
        code = odd[i:i + 16]
        r = nginx.request("/page", headers=[("Cookie", "vantorellVisitorCode=" + code)])
        assert r.status == 200
        set_cookie = r.header("Set-Cookie")
        assert set_cookie.startswith("vantorellVisitorCode=")
        sent = set_cookie[len("vantorellVisitorCode="):][:16]
        if all(0x21 <= ord(c) <= 0x7e and c not in '",;\\' for c in code):
            # a code of cookie octets travels unchanged
            assert sent == code
        else:
            # anything else would go back raw into Set-Cookie: a new visitor
            assert re.fullmatch("[a-z0-7]{16}", sent), sent
    nginx.assert_healthy()


def test_thousands_of_cookie_headers(nginx):
    start(nginx, [experiment(1, [EVERYTHING])])
    headers = [("Cookie", "c%d=%d" % (i, i)) for i in range(3000)]
    headers.append(("Cookie", "vantorellVisitorCode=abcdefghijklmnop"))
    r = nginx.request("/page", headers=headers)
    assert r.status == 200
    assert shown(r, "visitor_code") == "abcdefghijklmnop"


def test_many_flag_and_experiment_headers(nginx):
    # the client's flags are read once; the redirected pass stops at the
    # module's own flag
    start(nginx, [experiment(1, [group(cond("alpha/page", "E"))], [variation(2, 1.0)])])
    headers = [("vantorell-triggered", "no")] * 500 + [("vantorell-experiment", "x")] * 500
    r = nginx.request("/page", headers=headers)
    assert r.status == 200
    assert r.json()["path"] == "/experiment_1_variation_2"
    assert echoed(r, "vantorell-experiment") == ["1=2"]


def test_a_hundred_thousand_experiments(nginx):
    experiments = [experiment(i, [group(cond("alpha/exp%d" % i, "E"))], [variation(1, 1.0)])
                   for i in range(1, 100001)]
    # the file comes once nginx runs: the worker's first request reads it,
    # not the master's start-up check, which would read it once more before
    # the worker starts (seconds under the sanitizers)
    start(nginx, [])
    nginx.data.write(experiments)
    for _ in range(2):
        # reading the file takes the first request seconds on a busy machine
        # (the suite runs in parallel): a generous limit, for a hung worker only
        r = nginx.request("/exp99999", timeout=120)
        assert r.status == 200
        assert r.json()["path"] == "/experiment_99999_variation_1"
        assert shown(r, "experiments") == "99999=1"


@pytest.mark.parametrize("content, text", [
    ("[" * 1000000, "Cannot read json file."),
    ('[{"a":' * 200000, "Cannot read json file."),
    (json.dumps([{"baseUrl": "b" * 1000000, "experimentId": 1}]),
     "Cannot read targeting configuration field of experiment number 1."),
], ids=["deep-arrays", "deep-objects", "huge-string"])
def test_hostile_data_files(nginx, content, text):
    start(nginx, [], counting=True)
    nginx.data.write(content)
    r = nginx.request("/page")
    assert r.status == 200
    assert r.counted == {"data_error": 1}
    assert problem(nginx) == text


def test_data_file_that_is_a_fifo_does_not_block(nginx):
    import os
    start(nginx, [], counting=True)
    nginx.data.remove()
    os.mkfifo(nginx.data.path, 0o644)
    r = nginx.request("/page")
    assert r.status == 200
    assert r.counted == {"data_error": 1}
    assert problem(nginx) == "Cannot read json file."


# malloc() that fails for blocks of one size, named by FAILING_MALLOC_SIZE
FAILING_MALLOC = r"""
#include <errno.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);

static size_t failing;

__attribute__((constructor)) static void failing_size(void)
{
    const char *size = getenv("FAILING_MALLOC_SIZE");

    failing = size != NULL ? strtoul(size, NULL, 10) : 0;
}

void *malloc(size_t size)
{
    if (size == failing) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}
"""


def test_no_memory_for_a_request_answers_500(nginx, tmp_path):
    # A block larger than a request pool's page comes from malloc(): the URL
    # text of a long path is one, of a size that nothing else of the request
    # asks for.  The request is answered 500, its connection not just closed.
    linked = subprocess.run(["ldd", str(NGINX)], capture_output=True, text=True).stdout
    if "ASAN_OPTIONS" in os.environ or "libasan" in linked:
        pytest.skip("AddressSanitizer's malloc comes first")
    shim = tmp_path / "failing_malloc.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), "-x", "c", "-"],
                   input=FAILING_MALLOC, text=True, check=True, timeout=60)
    path = "/" + "p" * 6000
    size = len("alpha" + path) + 1
    nginx.env = dict(os.environ, LD_PRELOAD=str(shim), FAILING_MALLOC_SIZE=str(size))
    # nginx's own line for the failure
    nginx.tolerated = ("malloc(%d) failed (12: Cannot allocate memory)" % size,)
    start(nginx, [experiment(1, [EVERYTHING], [variation(2, 1.0)])], counting=True)
    r = nginx.request(path)
    assert r.status == 500
    assert r.counted == {"error": 1}
    # which allocation failed: said by the debug line alone
    assert r.log[-1] == "Error while allocating memory for the url."
    assert nginx.request("/page").json()["path"] == "/experiment_1_variation_2"
