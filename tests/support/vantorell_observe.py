"""What a test reads of what nginx shows: a visitor's number and codes that
fall where a test needs them, the request the echo upstream received, the
code in Set-Cookie, the module's variables through add_header, and the
status page."""

import hashlib
import itertools
import json
import re

# ---- visitors -------------------------------------------------------------------

def number(code):
    """The visitor's number, close enough to pick codes far from any boundary."""
    return int(hashlib.sha256(code.encode()).hexdigest(), 16) / 2 ** 256


def code_with(predicate):
    """The first of the codes visitor000000000, visitor000000001, ... whose
    number satisfies predicate."""
    for n in itertools.count():
        code = "visitor%09d" % n
        if predicate(number(code)):
            return code


def as_visitor(code):
    """The request headers of a visitor who holds code."""
    return [("Cookie", "vantorellVisitorCode=" + code)]


SET_COOKIE_CODE = re.compile(r"vantorellVisitorCode=([a-z0-7]{16});")


def cookie_code(response):
    """The code of the response's Set-Cookie, which must be one the module made
    or took as it is."""
    return SET_COOKIE_CODE.match(response.header("Set-Cookie")).group(1)


# ---- the echo upstream ------------------------------------------------------------

def echoed(response, name):
    """The values of the request header name (lower case) that the echo
    upstream received, in their order."""
    return [v for k, v in response.json()["headers"] if k.lower() == name]


# ---- the variables ----------------------------------------------------------------

VARIABLES = ["visitor_code", "visitor_new", "experiments", "experiment", "variation"]
# Server directives that show every variable on the response.  An empty value
# adds no header: a variable that is not found shows no header.
SHOW = "".join('        add_header X-Vantorell-%s "$vantorell_%s" always;\n'
               % (name, name) for name in VARIABLES)


def shown(response, name=None):
    """The variables as SHOW put them on the response, in VARIABLES' order
    (one of them, by name); None where there is no header."""
    if name is not None:
        return response.header("X-Vantorell-" + name)
    return tuple(response.header("X-Vantorell-" + n) for n in VARIABLES)


# ---- the status page --------------------------------------------------------------

def status(nginx, host="alpha", path="/status"):
    """The status page as JSON, read by a request of its own."""
    r = nginx.request(path, host=host)
    assert r.status == 200, r.body
    assert r.header("Content-Type") == "application/json"
    # strict UTF-8: whatever the texts held
    return json.loads(r.body.decode("utf-8"))


def data_file(doc, path):
    return next(f for f in doc["data_files"] if f["path"] == str(path))


def the_experiment(doc, path, eid):
    return next(e for e in data_file(doc, path)["experiments"] if e["id"] == eid)


def requests(doc, path):
    """The outcomes of the data file's requests that are not 0."""
    return {k: v for k, v in data_file(doc, path)["requests"].items() if v}


def data_file_requests(doc, path):
    """requests(), and {} for a data file the status does not list yet."""
    if not any(f["path"] == str(path) for f in doc["data_files"]):
        return {}
    return requests(doc, path)
