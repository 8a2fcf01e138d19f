"""vantorell-check lint and split on small data files: the module's own texts
for what it cannot use, warnings for what it uses but is almost always a
mistake, and the exit codes that a pipeline acts on; what the text reports
make of bytes that a terminal would act on."""

import json
import os
import subprocess

import pytest

from vantorell_harness import CHECK, cond, experiment, group, variation

EVERYTHING = group(cond(""))
HALVES = [variation(1, 0.5), variation(2, 0.5)]


def good(eid=1, groups=(EVERYTHING,), variations=HALVES, **kw):
    return experiment(eid, list(groups), variations, **kw)


def with_member(record, name, value):
    record = dict(record)
    if value is KeyError:
        del record[name]
    else:
        record[name] = value
    return record


def run(*args):
    p = subprocess.run([str(CHECK), *map(str, args)], capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def lint(tmp_path, content, *options):
    path = tmp_path / "data.json"
    path.write_text(content if isinstance(content, str) else json.dumps(content))
    return run("lint", path, *options)


@pytest.mark.parametrize("content, texts", [
    ("{", ["Cannot read json file."]),
    ('{"experimentId": 1}', ["Cannot read json file."]),
    ("[]", ["File is empty."]),
    # the module stops at the first; lint names every experiment it cannot read
    ([good(), with_member(good(2), "baseUrl", KeyError),
      with_member(good(3), "experimentId", None), with_member(good(4), "variations", {})],
     ["experiment number 2: Cannot read baseUrl field of experiment number 2.",
      "experiment number 3: Cannot read experiment id field of experiment number 3.",
      "experiment number 4: Cannot read variations field of experiment number 4."]),
    ([good(5, letter="X"), good(6, groups=[group(cond("(", match="R"), cond("a", match="Z"))])],
     ["Targeting configuration type does not exist for experiment 5.",
      "group 1, condition 1: NGINX: Cannot compile regular expression: (, reason: missing )",
      "group 1, condition 2: Match type does not exist."]),
])
def test_errors_in_the_module_texts(tmp_path, content, texts):
    rc, out, err = lint(tmp_path, content)
    assert rc == 2, (out, err)
    for text in texts:
        assert text in out, out


@pytest.mark.parametrize("experiments, texts", [
    ([good(variations=[variation(1, 0.5), variation(2, 0.3)])],
     ["the weights add up to 0.8: the other 20% of the visitors see the reference"]),
    # the running total starts from the file's last variation
    ([good(variations=[variation(1, 0.7), variation(2, 0.6)])],
     ["the weights add up to 1.3, more than 1", "variation 1 gets 40%"]),
    ([good(variations=[variation(1, 0.5), variation(2, 1.0)])], ["variation 1 gets 0%"]),
    ([good(7), good(8), good(7)], ["experiment id 7 stands at numbers 1, 3"]),
    # variation locations and headers carry an id's low 32 bits
    ([good(1), good(2), good(4294967297)],
     ["warning: experiment ids 1 (number 1), 4294967297 (number 3) are 1 in 32 bits: their "
      "variation locations (/experiment_1_variation_...) are the same"]),
    ([good(variations=[variation(3, 0.5), variation(3, 0.5)])],
     ["variation id 3 stands more than once"]),
    ([good(variations=[variation(0, 0.5), variation(2, 0.5)])],
     ["variation id 0 is the reference's"]),
    ([good(0)], ["experiment id 0"]),
    ([good(-1)], ['every request it targets fails ("Experiment id -1 cannot be targeted.")']),
    ([good(groups=[group(cond("/a"), op="&"), group(cond("/b", op="&"), cond("/c"))])],
     ["group 1 has the operator \"&\"", "group 2, condition 1 has the operator \"&\""]),
    ([good(groups=[]), good(2, groups=[group()])],
     ["experiment number 1: no condition groups", "experiment number 2: group 1 has no conditions"]),
    ([good(groups=[group(cond("/x"), cond(r"^alpha/[\w-.]+/\item", match="R"))])],
     [r'group 1, condition 2: the pattern is read as "^alpha/[\w\-.]+/item"']),
    # the whole pattern, however long, and what follows it
    ([good(groups=[group(cond("a" * 600 + r"\i", match="R"))])],
     ['the pattern is read as "' + "a" * 600 + 'i" (an unknown escape stands for its letter, '
      'a "-" after a class escape for itself); write it so']),
    ([good(groups=[group(cond(r"([a-z0-9]+)+\.html", match="R"))])],
     ["group 1, condition 1: the pattern exceeds the match budget",
      r"Error while matching regular expression: ([a-z0-9]+)+\.html"]),
    # what the reader treats as missing, silently
    ([good(variations=[variation(1, 0.5), with_member(variation(2, 0.5), "weight", None)])],
     ['variation 2 has no usable "weight": the experiment is read with no variations']),
    ([good(groups=[{"orOperator": "|", "conditions": {"url": "/a"}}])],
     ['group 1 has no usable "conditions": the experiment is read with no condition groups']),
    ([good(groups=[group(cond("/a"), with_member(cond("/b"), "matchType", KeyError))])],
     ['group 1, condition 2 has no usable "matchType": the group is read with no conditions']),
    ([good(groups=[group(with_member(cond("/a"), "include", True))])],
     ['"include" is true: only a value beginning with an upper-case Y includes']),
    ([with_member(good(), "baseUrl", {"href": "x"})], ['"baseUrl" is an object']),
])
def test_warnings(tmp_path, experiments, texts):
    rc, out, err = lint(tmp_path, experiments)
    assert rc == 1, (out, err)
    for text in texts:
        assert text in out, out


def test_clean_file_and_json_report(tmp_path):
    rc, out, err = lint(tmp_path, [good(1), good(2, groups=[group(cond("^a/b$", match="R"))])])
    assert (rc, out, err) == (0, "", "")

    rc, out, _ = lint(tmp_path, [good(variations=[variation(1, 0.5)]),
                                 with_member(good(2), "baseUrl", KeyError)], "--format", "json")
    assert rc == 2
    [report] = json.loads(out)
    assert report["status"] == "errors"
    assert {(p["severity"], p["experiment"]) for p in report["problems"]} == {
        ("warning", 1), ("error", 2)}


def test_several_files_exit_with_the_worst(tmp_path):
    clean, warned = tmp_path / "clean.json", tmp_path / "warned.json"
    clean.write_text(json.dumps([good()]))
    warned.write_text(json.dumps([good(variations=[variation(1, 0.5)])]))
    assert run("lint", clean, warned)[0] == 1
    assert run("lint", clean, tmp_path / "missing.json", warned)[0] == 2


def test_files_the_module_refuses(tmp_path):
    fifo = tmp_path / "fifo.json"
    os.mkfifo(fifo)                     # a reader that waited would hang here
    big = tmp_path / "big.json"
    with open(big, "wb") as f:
        f.truncate(64 * 1024 * 1024 + 1)
    crowded = tmp_path / "crowded.json"
    crowded.write_text("[" + ",".join(["{}"] * 4000) + "]")
    rc, out, _ = run("lint", fifo, big, tmp_path, crowded)
    assert rc == 2
    assert out.splitlines() == [
        "%s: error: Cannot read json file." % fifo,
        "%s: error: Data file is larger than 64 MiB." % big,
        "%s: error: Cannot read json file." % tmp_path,
        "%s: error: Data file holds too many JSON values for its size." % crowded,
    ]


def test_the_problems_listed_for_a_file_are_bounded(tmp_path):
    # every element unreadable: the texts of millions would take gigabytes
    rc, out, _ = lint(tmp_path, "[" + ",".join(["0"] * 100005) + "]")
    lines = out.splitlines()
    assert rc == 2
    assert len(lines) == 100001
    assert lines[-2].endswith("Cannot read baseUrl field of experiment number 100000.")
    assert lines[-1].endswith(": error: 5 more problems are not listed")


def test_reports_escape_what_a_terminal_acts_on(tmp_path):
    # escaped as the module's error log escapes them, so the two read alike
    path = tmp_path / "data.json"
    path.write_text(json.dumps([good(groups=[group(cond("a\nb(\x1b", match="R"))])]))
    rc, out, _ = run("lint", path)
    assert rc == 2
    assert out == ("%s: error: experiment number 1: group 1, condition 1: NGINX: Cannot compile "
                   "regular expression: a\\x0Ab(\\x1B, reason: missing )\n" % path)

    # the path as nginx decodes it; the arguments as sent
    path.write_text(json.dumps([good()]))
    rc, out, _ = run("explain", path, "/a%0d%0aX%1b[31m\\z%ff?q=%0a", "--host", "alpha")
    assert rc == 0
    assert out.splitlines()[0] == "URL text: alpha/a\\x0D\\x0AX\\x1B[31m\\z\\xFF?q=%0a"

    # JSON keeps every character, UTF-8 included; only bytes that are not
    # UTF-8 become \xHH text (as the module's log writes them), so the report stays valid JSON
    for url, text in [("/a%0d%0aX%1b[31m\\z%ff?q=%0a", "alpha/a\r\nX\x1b[31m\\z\\xFF?q=%0a"),
                      ("/caf%C3%A9", "alpha/caf\u00e9")]:
        rc, out, _ = run("explain", path, url, "--host", "alpha", "--format", "json")
        assert (rc, json.loads(out)["url_text"]) == (0, text)


def test_split_exact_and_observed(tmp_path):
    path = tmp_path / "data.json"
    path.write_text(json.dumps([
        good(1, variations=[variation(1, 0.25), variation(2, 0.25)]),
        good(2, variations=[variation(3, 0.75), variation(4, 0.5)]),
    ]))
    rc, out, err = run("split", path, "--visitors", 20000, "--format", "json")
    assert rc == 0, err
    shares = {e["id"]: {s["variation"]: s for s in e["shares"]} for e in json.loads(out)}
    expected = {1: {0: 0.5, 1: 0.25, 2: 0.25}, 2: {0: 0.0, 3: 0.5, 4: 0.5}}
    for eid, split in expected.items():
        assert {v: s["expected"] for v, s in shares[eid].items()} == pytest.approx(split)
        assert sum(s["count"] for s in shares[eid].values()) == 20000
        for v, share in split.items():
            # 20,000 draws: a share's observed value lies within 0.02 of it
            # but once in many millions of runs
            assert shares[eid][v]["observed"] == pytest.approx(share, abs=0.02)


@pytest.mark.parametrize("args", [
    ["lint"], ["explain", "x.json"], ["split", "a", "b"], ["frobnicate"],
    ["split", "a", "--visitors", "-1"], ["lint", "a", "--format", "xml"],
    ["explain", "a", "/", "--code", "abcdefghijklmnop", "--cookie", "x=y"],
    ["explain", "a", "/", "--force"], ["lint", "a", "--visitor-id", "x"],
])
def test_bad_arguments(args):
    rc, out, err = run(*args)
    assert rc == 2 and out == "" and "usage:" in err


def test_help():
    rc, out, _ = run("--help")
    assert rc == 0 and "exit status" in out


def test_an_experiments_problems_are_told_kind_by_kind(tmp_path):
    # how its records are read, what targeting makes of them, how its lists
    # are joined, then its ids and weights: whichever group each concerns
    rc, out, _ = lint(tmp_path, [good(
        groups=[group(cond("(", match="R"), cond("/a"), op="&"),
                group(cond(r"\q", match="R"), with_member(cond("/b"), "include", "no")),
                group()],
        variations=[variation(0, 0.6), variation(0, 0.6)])])
    assert rc == 2
    prefix = "%s: " % (tmp_path / "data.json")
    assert out.splitlines() == [prefix + line for line in [
        'warning: experiment number 1: group 2, condition 2: "include" is no: only a value '
        'beginning with an upper-case Y includes, this one excludes',
        "error: experiment number 1: group 1, condition 1: NGINX: Cannot compile regular "
        "expression: (, reason: missing )",
        'warning: experiment number 1: group 2, condition 1: the pattern is read as "q" (an '
        'unknown escape stands for its letter, a "-" after a class escape for itself); write '
        "it so, as other regular expression libraries refuse it",
        'warning: experiment number 1: group 1 has the operator "&": the first group is joined '
        "with false, so it can never count",
        "warning: experiment number 1: group 3 has no conditions: it is never true",
        "warning: experiment number 1: variation id 0 is the reference's: its visitors see the "
        "reference and are not redirected",
        "warning: experiment number 1: variation id 0 is the reference's: its visitors see the "
        "reference and are not redirected",
        "warning: experiment number 1: variation id 0 stands more than once",
        "warning: experiment number 1: the weights add up to 1.2, more than 1: some variations "
        "cannot be reached in full",
    ]]
