"""What an operator sees of a data file without debug lines: a worker's error
line once per state of an unusable file and a notice when a usable one
follows, and the warnings of nginx -t, start-up and reload."""

import os
import signal
import time

import pytest

from vantorell_harness import cond, experiment, group, variation

EVERYTHING = group(cond(""))
GOOD = [experiment(1, [EVERYTHING], [variation(2, 1.0)]),
        experiment(3, [group(cond("alpha/shop"))])]
COMPILE = "NGINX: Cannot compile regular expression: "


def sparse(size):
    def make(path):
        with open(path, "wb") as f:
            f.truncate(size)
        os.chmod(path, 0o644)
    return make


def folder(path):
    os.mkdir(path)


# name: (how the file is made: None none, a list or text written, or a
# function of the path; the text; the outcome of a request on the status page)
PROBLEMS = {
    "missing": (None, "Cannot read json file.", "data_error"),
    "not JSON": ('[{"experimentId": 1', "Cannot read json file.", "data_error"),
    "an empty list": ([], "File is empty.", "data_error"),
    "a missing member": ('[{"experimentId": 1}]',
                         "Cannot read baseUrl field of experiment number 1.",
                         "data_error"),
    "over the size limit": (sparse(64 * 1024 * 1024 + 1), "Data file is larger than 64 MiB.",
                            "data_error"),
    "not a regular file": (folder, "Cannot read json file.", "data_error"),
    "a pattern that does not compile": (
        [experiment(1, [group(cond("x"), cond("a(b", "R", op="&"))])],
        COMPILE + "a(b, reason: missing )", "targeting_error"),
    "an unknown targeting letter": (
        [experiment(1, [EVERYTHING]), experiment(5, [EVERYTHING], letter="Z")],
        "Targeting configuration type does not exist for experiment 5.",
        "targeting_error"),
    "an unknown match type": (
        [experiment(1, [group(cond("x", "Q"))])], "Match type does not exist.",
        "targeting_error"),
}


def make(nginx, how):
    if how is None:
        nginx.data.remove()
    elif callable(how):
        how(nginx.data.path)
    else:
        nginx.data.write(how)


def lines(nginx, level):
    """The module's lines of a level about the data file, as written."""
    return [line for line in nginx.log_text().splitlines()
            if "[%s]" % level in line and "vantorell: data file" in line]


def said(nginx, text):
    """A line's text about the test's data file."""
    return 'vantorell: data file "%s": %s' % (nginx.data.path, text)


def count(nginx, level, text):
    return sum(said(nginx, text) in line for line in lines(nginx, level))


@pytest.mark.parametrize("name", list(PROBLEMS))
def test_a_problem_is_said_once_and_its_end_too(nginx, name):
    how, text, outcome = PROBLEMS[name]
    make(nginx, how)
    nginx.counting = True
    nginx.start(directives="        vantorell_module on;\n")
    for _ in range(6):
        r = nginx.request("/page")
        assert r.status == 200
        assert r.json()["path"] == "/page"
        # every request ends as the first did
        assert r.counted == {outcome: 1}
    (line,) = lines(nginx, "error")
    assert said(nginx, text) in line
    assert lines(nginx, "notice") == []

    if name == "not a regular file":
        os.rmdir(nginx.data.path)
    nginx.data.write(GOOD)
    for _ in range(3):
        assert nginx.request("/page").json()["path"] == "/experiment_1_variation_2"
    (line,) = lines(nginx, "notice")
    assert said(nginx, "2 experiments") in line
    assert len(lines(nginx, "error")) == 1


def test_each_new_state_of_the_file_is_said_again(nginx):
    nginx.data.write("[")
    nginx.start(directives="        vantorell_module on;\n")

    def requests():
        for _ in range(3):
            assert nginx.request("/page").status == 200

    requests()
    assert count(nginx, "error", "Cannot read json file.") == 1
    # another problem
    nginx.data.write([])
    requests()
    assert count(nginx, "error", "File is empty.") == 1
    # another broken file with the problem of the first
    nginx.data.write("not JSON either")
    requests()
    assert count(nginx, "error", "Cannot read json file.") == 2
    # the file gone: its own state, whatever the text
    nginx.data.remove()
    requests()
    assert count(nginx, "error", "Cannot read json file.") == 3
    # a usable file, a change to another usable one, then a problem again
    nginx.data.write(GOOD)
    requests()
    nginx.data.write(GOOD[:1])
    requests()
    assert [said(nginx, "2 experiments") in line for line in lines(nginx, "notice")] \
        == [True]
    nginx.data.write([experiment(1, [group(cond("(", "R"))])])
    requests()
    assert count(nginx, "error", COMPILE + "(, reason: missing )") == 1
    assert len(lines(nginx, "error")) == 5
    assert len(lines(nginx, "notice")) == 1


def test_no_line_without_a_problem(nginx):
    nginx.data.write(GOOD)
    nginx.start(directives="        vantorell_module on;\n")
    for path in ("/page", "/shop", "/page"):
        assert nginx.request(path).status == 200
    assert lines(nginx, "error") == lines(nginx, "notice") == lines(nginx, "warn") == []


# ---- nginx -t, start-up and reload ------------------------------------------

CHECKED = {
    "missing": (None, "Cannot read json file."),
    "broken": ("[1, 2", "Cannot read json file."),
    "a bad pattern": ([experiment(1, [group(cond("[a-", "R"))])],
                      COMPILE + "[a-, reason: missing terminating ] for character class"),
    "usable": (GOOD, None),
}


def warnings(output):
    return [line for line in output.splitlines() if "vantorell" in line]


@pytest.mark.parametrize("name", list(CHECKED))
def test_nginx_t_reads_the_data_file(nginx, name):
    how, text = CHECKED[name]
    make(nginx, how)
    ok, output = nginx.check(nginx.server(directives="        vantorell_module on;\n"))
    assert ok, output
    assert "test is successful" in output
    if text is None:
        assert warnings(output) == []
    else:
        assert warnings(output) == ['nginx: [warn] vantorell: data file "%s": %s'
                                    % (nginx.data.path, text)]


def test_nginx_t_reads_each_path_of_a_server_with_the_module_on_once(nginx):
    other = nginx.prefix / "other.json"
    off = nginx.prefix / "off.json"
    http = (nginx.server(directives="        vantorell_module on;\n", server_name="a")
            + nginx.server(directives="        vantorell_module on;\n", server_name="b")
            + nginx.server(directives="        vantorell_module on;\n"
                                      "        vantorell_data_file other.json;\n",
                           server_name="c")
            + nginx.server(directives="        vantorell_data_file %s;\n" % off,
                           server_name="d"))
    ok, output = nginx.check(http)
    assert ok, output
    assert warnings(output) == [
        'nginx: [warn] vantorell: data file "%s": Cannot read json file.' % nginx.data.path,
        'nginx: [warn] vantorell: data file "%s": Cannot read json file.' % other,
    ]


def reload(nginx):
    """SIGHUP, and the new workers started: the master has read the
    configuration (and the data file) again."""
    def started():
        return nginx.log_text().count("start worker process")
    before = started()
    nginx.proc.send_signal(signal.SIGHUP)
    for _ in range(250):                    # bounded: 5 s
        if started() > before:
            return
        time.sleep(0.02)
    raise AssertionError("no new worker after SIGHUP")


def test_start_up_and_reload_warn_and_go_on(nginx):
    nginx.start(directives="        vantorell_module on;\n")
    warned = [said(nginx, "Cannot read json file.")]
    assert [line.split("[warn] ")[1].split(": ", 1)[1] for line in lines(nginx, "warn")] == warned
    assert nginx.request("/page").status == 200

    nginx.data.write([])
    reload(nginx)
    warned.append(said(nginx, "File is empty."))
    assert [line.split("[warn] ")[1].split(": ", 1)[1] for line in lines(nginx, "warn")] == warned

    nginx.data.write(GOOD)
    reload(nginx)
    assert len(lines(nginx, "warn")) == 2
    assert nginx.request("/page").json()["path"] == "/experiment_1_variation_2"
